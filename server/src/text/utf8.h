// The few UTF-8 facts the service needs, in one place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace cumulo::server {

// Decodes the character at text[i] into code_point and returns its length in bytes, or 0 when
// the bytes there are not well-formed UTF-8 (overlong forms and surrogates included).
std::size_t decode_utf8(std::string_view text, std::size_t i, std::uint32_t& code_point);

bool is_valid_utf8(std::string_view text);

// Appends the UTF-8 form of a code point (at most U+10FFFF, not a surrogate).
void append_utf8(std::string& text, std::uint32_t code_point);

}  // namespace cumulo::server
