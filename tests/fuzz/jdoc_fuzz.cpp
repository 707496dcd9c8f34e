// Fuzz entry for the jdoc library's documents: parse any bytes, then walk the
// tree the way the search walks an answer ("list", each element's members)
// and with lookups that must find nothing (out-of-range indexes, a member of
// an array, a key taken from the input itself).
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "json_document.h"

namespace {

using cu::jdoc::JsonDocument;

constexpr const char* kElementKeys[] = {"name", "type", "size", "idAuk"};
constexpr std::uint32_t kMaxElementsWalked = 64;

// Every lookup on `doc` that the program makes, plus the ones that must give
// an empty document; each result's text is read so the sanitizer sees it.
void walk(const JsonDocument& doc, std::string_view input_key, unsigned depth)
{
    (void)doc.text().size();
    (void)doc.member(input_key).text();
    (void)doc.element(-1).text();
    const std::uint32_t count = doc.element_count();
    (void)doc.element(static_cast<std::int64_t>(count)).text();
    if (depth == 0) return;
    for (std::uint32_t i = 0; i < count && i < kMaxElementsWalked; ++i) {
        const JsonDocument element = doc.element(i);
        for (const char* key : kElementKeys) (void)element.member(key).text();
        walk(element, input_key, depth - 1);
    }
    walk(doc.member("list"), input_key, depth - 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    JsonDocument doc;
    const bool parsed = doc.parse(text);
    // A failed parse leaves a document that holds nothing.
    if (!parsed && (doc.element_count() != 0 || !doc.text().empty())) __builtin_trap();
    walk(doc, text.substr(0, 8), 3);

    // A lookup outlives the document it came from: views share the tree.
    JsonDocument list = doc.member("list");
    doc = JsonDocument();
    walk(list, text.substr(0, 8), 1);
    return 0;
}
