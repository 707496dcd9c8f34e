#include "values.h"

#include <cstring>

#include "blocks.h"

namespace cu {

std::string_view Args::text(std::uint32_t i) const
{
    const cu_value* r = at(i);
    if (!r || r->tag != CU_TAG_TEXT || r->value == 0) return {};
    return reinterpret_cast<const char*>(r->value);
}

std::span<const std::uint8_t> Args::bytes(std::uint32_t i) const
{
    const cu_value* r = at(i);
    if (!r || r->tag != CU_TAG_BYTES || r->value == 0) return {};
    const auto* block = reinterpret_cast<const std::uint8_t*>(r->value);
    std::uint32_t length;
    std::memcpy(&length, block + 4, 4);
    return {block + 8, length};
}

std::int32_t Args::integer(std::uint32_t i, std::int32_t fallback) const
{
    return omitted(i) ? fallback : static_cast<std::int32_t>(at(i)->value);
}

std::int64_t Args::long_integer(std::uint32_t i, std::int64_t fallback) const
{
    if (omitted(i)) return fallback;
    const cu_value* r = at(i);
    if (r->tag == CU_TAG_LONG)
        return static_cast<std::int64_t>((r->value & 0xFFFFFFFFu) | (std::uint64_t{r->high} << 32));
    return static_cast<std::int32_t>(r->value);
}

cu_value none_result() { return {0, 0, CU_TAG_OMITTED}; }
cu_value int_result(std::int32_t v) { return {static_cast<std::uint32_t>(v), 0, CU_TAG_INT}; }

cu_value long_result(std::int64_t v)
{
    auto u = static_cast<std::uint64_t>(v);
    return {u & 0xFFFFFFFFu, static_cast<std::uint32_t>(u >> 32), CU_TAG_LONG};
}

cu_value double_result(double v)
{
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return {bits, 0, CU_TAG_DOUBLE};
}

cu_value text_result(std::string_view text)
{
    return pointer_result(new_text(text), CU_TAG_TEXT);
}

cu_value bytes_result(std::span<const std::uint8_t> bytes)
{
    return pointer_result(new_bytes(bytes.data(), static_cast<std::uint32_t>(bytes.size())), CU_TAG_BYTES);
}

cu_value pointer_result(void* block, std::uint32_t tag)
{
    return {reinterpret_cast<std::uint64_t>(block), 0, tag};
}

}  // namespace cu
