// JSON string output in pure ASCII: every non-ASCII character becomes \uXXXX (a surrogate
// pair beyond the Basic Multilingual Plane), so clients that read the body byte for byte in
// another code page still see the exact characters.
#pragma once

#include <string>
#include <string_view>

namespace cumulo::server {

// Appends `utf8` as a quoted JSON string, its characters as for_each_shown_character (utf8.h)
// gives them: bytes that are not UTF-8, and NUL, come out as \ufffd.
void append_json_string(std::string& out, std::string_view utf8);

}  // namespace cumulo::server
