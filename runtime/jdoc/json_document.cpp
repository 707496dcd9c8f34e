#include "json_document.h"

#include <rapidjson/reader.h>

namespace cu::jdoc {
namespace {

// Numbers are kept as the text the answer gave (a size of 20 digits stays
// exact); the iterative parser keeps deep input off the stack.
constexpr unsigned parse_flags = rapidjson::kParseIterativeFlag | rapidjson::kParseNumbersAsStringsFlag;

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

}  // namespace

bool JsonDocument::parse(std::string_view text)
{
    auto tree = std::make_shared<Tree>();
    Parse parse{text};
    tree->Populate(parse);
    if (!parse.ok) {
        *this = JsonDocument();
        return false;
    }
    const Value* root = tree.get();
    *this = JsonDocument(std::move(tree), root);
    return true;
}

JsonDocument JsonDocument::member(std::string_view key) const
{
    if (!value_ || !value_->IsObject()) return {};
    for (const auto& m : value_->GetObject())
        if (std::string_view(m.name.GetString(), m.name.GetStringLength()) == key) return {tree_, &m.value};
    return {};
}

JsonDocument JsonDocument::element(std::int64_t index) const
{
    if (!value_ || !value_->IsArray() || index < 0 || index >= value_->Size()) return {};
    return {tree_, &(*value_)[static_cast<rapidjson::SizeType>(index)]};
}

std::uint32_t JsonDocument::element_count() const { return value_ && value_->IsArray() ? value_->Size() : 0; }

std::string JsonDocument::text() const
{
    if (!value_) return {};
    if (value_->IsString()) return {value_->GetString(), value_->GetStringLength()};
    if (value_->IsBool()) return value_->GetBool() ? "true" : "false";
    return {};
}

}  // namespace cu::jdoc
