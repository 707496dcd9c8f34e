// The jdoc library: JSON documents. A document block (8 bytes, allocated and
// zeroed by the program) holds the address of its JsonDocument; lookups
// answer new blocks the caller finalises (0x04) and frees.
#include <cstring>
#include <new>

#include "blocks.h"
#include "guarded_command.h"
#include "json_document.h"
#include "library_ids.h"

namespace cu::jdoc {
namespace {

JsonDocument** slot_of(const Args& a)
{
    const cu_value* v = a.at(0);
    return v ? reinterpret_cast<JsonDocument**>(v->value) : nullptr;
}

// The document a block holds; an empty one for an absent or empty block.
const JsonDocument& document_in(const Args& a)
{
    static const JsonDocument nothing;
    JsonDocument** slot = slot_of(a);
    return slot && *slot ? **slot : nothing;
}

// The program's own block holds the address of a document in a block of
// ours; a lookup's block carries its document right behind the address. So
// every document lives in a block: a stopped worker's blocks are freed by the
// runtime, and the tree they used is reclaimed as a tracked resource.
JsonDocument* embedded_in(JsonDocument** slot) { return reinterpret_cast<JsonDocument*>(slot + 1); }

static_assert(alignof(JsonDocument) <= alignof(JsonDocument*));

void adopt(JsonDocument** slot, JsonDocument document)
{
    *slot = new (allocate_block(sizeof(JsonDocument))) JsonDocument(std::move(document));
}

void finalise_slot(JsonDocument** slot)
{
    JsonDocument* held = *slot;
    if (!held) return;
    *slot = nullptr;
    held->~JsonDocument();
    if (held != embedded_in(slot)) free_block(held);
}

cu_value new_document_block(JsonDocument document)
{
    auto** slot = static_cast<JsonDocument**>(allocate_block(sizeof(JsonDocument*) + sizeof(JsonDocument)));
    *slot = new (embedded_in(slot)) JsonDocument(std::move(document));
    return pointer_result(slot, CU_LTYPE_DOCUMENT);
}

// 0x00 (document): a block that still holds a document is finalised first.
cu_value initialise(const Args& a)
{
    if (JsonDocument** slot = slot_of(a)) {
        finalise_slot(slot);
        adopt(slot, JsonDocument());
    }
    return none_result();
}

// 0x04 (document)
cu_value finalise(const Args& a)
{
    if (JsonDocument** slot = slot_of(a)) finalise_slot(slot);
    return none_result();
}

// 0x0C (document, text): true when the text parsed.
cu_value parse(const Args& a)
{
    JsonDocument** slot = slot_of(a);
    if (!slot) return {0, 0, CU_TAG_LOGICAL};
    if (!*slot) adopt(slot, JsonDocument());
    const bool ok = (*slot)->parse(a.text(1));
    return {ok ? 1u : 0u, 0, CU_TAG_LOGICAL};
}

// 0x1C (document): always a text general value.
cu_value value(const Args& a) { return text_result(document_in(a).text()); }

// 0x30 (document, key)
cu_value member(const Args& a) { return new_document_block(document_in(a).member(a.text(1))); }

// 0x3C (document)
cu_value element_count(const Args& a) { return int_result(static_cast<std::int32_t>(document_in(a).element_count())); }

// 0x4C (document, 0-based index)
cu_value element(const Args& a) { return new_document_block(document_in(a).element(a.integer(1, -1))); }

constexpr cu_command commands[] = {
    {0x00, guarded<initialise>}, {0x04, guarded<finalise>},      {0x0C, guarded<parse>}, {0x1C, guarded<value>},
    {0x30, guarded<member>},     {0x3C, guarded<element_count>}, {0x4C, guarded<element>},
};

constexpr cu_library descriptor = {
    "jdoc", CU_ID_JDOC, 2, 3, "JSON documents", commands, static_cast<std::uint32_t>(std::size(commands)),
};

}  // namespace
}  // namespace cu::jdoc

extern "C" __attribute__((visibility("default"))) const cu_library* cu_library_descriptor()
{
    return &cu::jdoc::descriptor;
}
