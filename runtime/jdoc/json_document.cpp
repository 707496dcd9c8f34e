#include "json_document.h"

#include <rapidjson/reader.h>

#include <utility>

#include "worker.h"

namespace cu::jdoc {
namespace {

// Numbers are kept as the text the answer gave (a size of 20 digits stays
// exact); the iterative parser keeps deep input off the stack; "validating"
// is how string characters reach GbkEncoding::Validate, which keeps each GBK
// double-byte character whole and refuses nothing.
constexpr unsigned parse_flags =
    rapidjson::kParseIterativeFlag | rapidjson::kParseNumbersAsStringsFlag | rapidjson::kParseValidateEncodingFlag;

// Passes the parser's events to the tree, refusing nesting beyond max_depth.
template <typename Handler>
struct DepthLimit {
    using Ch = GbkEncoding::Ch;
    using SizeType = rapidjson::SizeType;
    Handler& h;
    unsigned depth = 0;

    bool Null() { return h.Null(); }
    bool Bool(bool b) { return h.Bool(b); }
    bool Int(int i) { return h.Int(i); }
    bool Uint(unsigned u) { return h.Uint(u); }
    bool Int64(std::int64_t i) { return h.Int64(i); }
    bool Uint64(std::uint64_t u) { return h.Uint64(u); }
    bool Double(double d) { return h.Double(d); }
    bool RawNumber(const Ch* s, SizeType n, bool copy) { return h.RawNumber(s, n, copy); }
    bool String(const Ch* s, SizeType n, bool copy) { return h.String(s, n, copy); }
    bool Key(const Ch* s, SizeType n, bool copy) { return h.Key(s, n, copy); }
    bool StartObject() { return ++depth <= max_depth && h.StartObject(); }
    bool EndObject(SizeType n) { return --depth, h.EndObject(n); }
    bool StartArray() { return ++depth <= max_depth && h.StartArray(); }
    bool EndArray(SizeType n) { return --depth, h.EndArray(n); }
};

// The text as the parser reads it, never past its end.
struct BoundedStream {
    using Ch = char;
    const char* begin;
    const char* p;
    const char* end;

    Ch Peek() const { return p != end ? *p : '\0'; }
    Ch Take() { return p != end ? *p++ : '\0'; }
    std::size_t Tell() const { return static_cast<std::size_t>(p - begin); }
    // Output members the parser asks for only when parsing in place, which it does not.
    Ch* PutBegin() { return nullptr; }
    void Put(Ch) {}
    void Flush() {}
    std::size_t PutEnd(Ch*) { return 0; }
};

// Feeds the tree from the parser (Tree::Populate calls it with the tree's handler).
struct Parse {
    std::string_view text;
    bool ok = false;

    template <typename Handler>
    bool operator()(Handler& h)
    {
        DepthLimit<Handler> limit{h};
        rapidjson::GenericReader<GbkEncoding, GbkEncoding> reader;
        BoundedStream stream{text.data(), text.data(), text.data() + text.size()};
        ok = !reader.Parse<parse_flags>(stream, limit).IsError();
        return ok;
    }
};

void destroy_tree(void* tree) { delete static_cast<SharedTree*>(tree); }

}  // namespace

SharedTree::SharedTree() { track_resource(this, destroy_tree); }

void SharedTree::release()
{
    if (users_.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    untrack_resource(this);
    delete this;
}

JsonDocument::JsonDocument(const JsonDocument& other) : tree_(other.tree_), value_(other.value_)
{
    if (tree_) tree_->acquire();
}

JsonDocument& JsonDocument::operator=(JsonDocument other) noexcept
{
    std::swap(tree_, other.tree_);
    std::swap(value_, other.value_);
    return *this;
}

JsonDocument::~JsonDocument()
{
    if (tree_) tree_->release();
}

JsonDocument JsonDocument::view(const Value* value) const
{
    tree_->acquire();
    return {tree_, value};
}

bool JsonDocument::parse(std::string_view text)
{
    auto* shared = new SharedTree;
    JsonDocument parsed(shared, &shared->tree);
    Parse parse{text};
    shared->tree.Populate(parse);
    *this = parse.ok ? std::move(parsed) : JsonDocument();
    return parse.ok;
}

JsonDocument JsonDocument::member(std::string_view key) const
{
    if (!value_ || !value_->IsObject()) return {};
    for (const auto& m : value_->GetObject())
        if (std::string_view(m.name.GetString(), m.name.GetStringLength()) == key) return view(&m.value);
    return {};
}

JsonDocument JsonDocument::element(std::int64_t index) const
{
    if (!value_ || !value_->IsArray() || index < 0 || index >= value_->Size()) return {};
    return view(&(*value_)[static_cast<rapidjson::SizeType>(index)]);
}

std::uint32_t JsonDocument::element_count() const { return value_ && value_->IsArray() ? value_->Size() : 0; }

std::string_view JsonDocument::text() const
{
    if (!value_) return {};
    if (value_->IsString()) return {value_->GetString(), value_->GetStringLength()};
    if (value_->IsBool()) return value_->GetBool() ? "true" : "false";
    return {};
}

}  // namespace cu::jdoc
