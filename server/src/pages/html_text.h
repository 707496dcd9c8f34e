// Texts as they go into the pages: escaped for HTML, encoded for an address, sizes as the
// desktop window writes them. Names in the catalogue are hostile input, so every one of
// them goes through html_escaped.
#pragma once

#include "catalogue/share.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace cumulo::server {

// &, <, >, " and ' as character references: safe in element content and quoted attributes.
// Characters come as for_each_shown_character gives them (the pages are declared UTF-8): a byte
// that begins no well-formed character, and a NUL, as U+FFFD.
std::string html_escaped(std::string_view text);

// A query value for an address: letters, digits and -._~ as they are, every other byte as %XX.
std::string query_encoded(std::string_view text);

// The window's size column: empty for an unknown (zero) size, else "532 bytes", "2.28 MB"...
std::string size_text(std::uint64_t bytes);

// The share page's address, relative to the service: /share/link?uk=..&shareid=.. or /s/<code>,
// the same as the desktop window builds.
std::string share_path(const Share& share);

// The window's Chinese word for a type: 相册, 文件, 文件夹.
std::string_view chinese_type_word(ShareType type);

}  // namespace cumulo::server
