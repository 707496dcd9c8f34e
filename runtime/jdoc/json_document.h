// A JSON document of the jdoc library: a parsed tree, shared by the document
// that parsed it and by every document a lookup gave (a lookup is a view into
// the tree, never a copy), and the value this document stands for.
#pragma once
#include <atomic>
#include <cstdint>
#include <string_view>

#include <rapidjson/document.h>

#include "gbk_encoding.h"

namespace cu::jdoc {

using Tree = rapidjson::GenericDocument<GbkEncoding>;
using Value = rapidjson::GenericValue<GbkEncoding>;

// Nesting deeper than this is refused: a tree that deep serves no answer and
// would only threaten the stack of whatever walks it.
constexpr unsigned max_depth = 512;

// A parsed tree and the number of documents that use it. A tree parsed on a
// worker is the one thing of a document the runtime must reclaim when the
// worker is stopped (the documents themselves live in blocks it frees).
class SharedTree {
public:
    SharedTree();
    Tree tree;
    void acquire() { users_.fetch_add(1, std::memory_order_relaxed); }
    void release();

private:
    std::atomic<std::uint32_t> users_{1};
};

class JsonDocument {
public:
    JsonDocument() = default;
    JsonDocument(const JsonDocument& other);
    // Takes over the other's use of the tree: no count to change.
    JsonDocument(JsonDocument&& other) noexcept : tree_(other.tree_), value_(other.value_) { other.tree_ = nullptr; }
    JsonDocument& operator=(JsonDocument other) noexcept;
    ~JsonDocument();

    // Replaces what the document held with `text` parsed; false (and an
    // empty document) when the text is not JSON or nests too deeply.
    bool parse(std::string_view text);

    // Views: a missing member or element gives a document that holds nothing.
    JsonDocument member(std::string_view key) const;
    JsonDocument element(std::int64_t index) const;
    // 0 unless the document holds an array.
    std::uint32_t element_count() const;
    // A string as its bytes; a number as its text in the answer; true/false;
    // the empty text for null, objects, arrays and a document holding nothing.
    // Valid while the document lives.
    std::string_view text() const;

private:
    // Adopts one use of `tree`.
    JsonDocument(SharedTree* tree, const Value* value) : tree_(tree), value_(value) {}
    JsonDocument view(const Value* value) const;

    SharedTree* tree_ = nullptr;
    const Value* value_ = nullptr;
};

}  // namespace cu::jdoc
