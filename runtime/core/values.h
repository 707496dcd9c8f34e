// Reading argument records and making results, for command implementations.
#pragma once
#include <cstdint>
#include <span>
#include <string_view>

#include "cumulo_abi.h"

namespace cu {

struct Args {
    std::uint32_t count;
    const cu_value* records;

    const cu_value* at(std::uint32_t i) const { return i < count ? &records[i] : nullptr; }
    bool omitted(std::uint32_t i) const { return !at(i) || at(i)->tag == CU_TAG_OMITTED; }
    // A text argument; null or a non-text record reads as the empty text.
    std::string_view text(std::uint32_t i) const;
    // A byte array argument (the bytes after the 8-byte head); empty when absent.
    std::span<const std::uint8_t> bytes(std::uint32_t i) const;
    // An integer, logical or byte argument; `fallback` when omitted.
    std::int32_t integer(std::uint32_t i, std::int32_t fallback = 0) const;
    std::int64_t long_integer(std::uint32_t i, std::int64_t fallback = 0) const;
};

cu_value none_result();
cu_value int_result(std::int32_t v);
cu_value long_result(std::int64_t v);
cu_value double_result(double v);
cu_value text_result(std::string_view text);        // a fresh text block
cu_value bytes_result(std::span<const std::uint8_t> bytes);  // a fresh byte array block
cu_value pointer_result(void* block, std::uint32_t tag);

}  // namespace cu
