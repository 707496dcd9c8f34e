// A JSON document of the jdoc library: a parsed tree, shared by the document
// that parsed it and by every document a lookup gave (a lookup is a view into
// the tree, never a copy), and the value this document stands for.
#pragma once
#include <memory>
#include <string>
#include <string_view>

#include <rapidjson/document.h>

#include "gbk_encoding.h"

namespace cu::jdoc {

using Tree = rapidjson::GenericDocument<GbkEncoding>;
using Value = rapidjson::GenericValue<GbkEncoding>;

// Nesting deeper than this is refused: a tree that deep serves no answer and
// would only threaten the stack of whatever walks it.
constexpr unsigned max_depth = 512;

class JsonDocument {
public:
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
    std::string text() const;

private:
    JsonDocument(std::shared_ptr<const Tree> tree, const Value* value) : tree_(std::move(tree)), value_(value) {}

public:
    JsonDocument() = default;

private:
    std::shared_ptr<const Tree> tree_;
    const Value* value_ = nullptr;
};

}  // namespace cu::jdoc
