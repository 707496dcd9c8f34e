// The few UTF-8 facts the service needs, in one place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace cumulo::server {

// Decodes the character at text[i] into code_point and returns its length in bytes, or 0 when
// the bytes there are not well-formed UTF-8 (overlong forms and surrogates included).
std::size_t decode_utf8(std::string_view text, std::size_t i, std::uint32_t& code_point);

bool is_valid_utf8(std::string_view text);

// Number of characters of a UTF-8 text (continuation bytes not counted).
std::size_t count_characters(std::string_view utf8);

}  // namespace cumulo::server
