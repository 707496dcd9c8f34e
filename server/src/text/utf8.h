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

// Calls `each(code_point)` for every character of `text` as every output of the service shows
// it: a byte that does not begin a well-formed character, and a NUL, come as U+FFFD. Names
// written into the catalogue by other programs may hold both.
template <typename Each>
void for_each_shown_character(std::string_view text, Each&& each)
{
    constexpr std::uint32_t replacement = 0xFFFD;
    std::uint32_t code_point = 0;
    for (std::size_t i = 0; i < text.size();) {
        auto byte = static_cast<unsigned char>(text[i]);
        if (byte != 0 && byte < 0x80) {
            each(std::uint32_t{byte});
            ++i;
        } else if (std::size_t length = byte == 0 ? 0 : decode_utf8(text, i, code_point); length != 0) {
            each(code_point);
            i += length;
        } else {
            each(replacement);
            ++i;
        }
    }
}

// Appends the UTF-8 form of a code point (at most U+10FFFF, not a surrogate).
void append_utf8(std::string& text, std::uint32_t code_point);

}  // namespace cumulo::server
