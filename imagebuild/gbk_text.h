// Texts of the layout and library list are UTF-8 in our files and GBK (the
// system code page of the program) in the image.
#pragma once
#include <optional>
#include <string>
#include <string_view>

namespace cu::imagebuild {

// Refuses (nullopt, *error set) invalid UTF-8 and characters GBK cannot hold:
// a layout text must never be stored with replacement characters.
std::optional<std::string> utf8_to_gbk(std::string_view utf8, std::string* error);

// For display: undecodable bytes become U+FFFD.
std::string gbk_to_utf8(std::string_view gbk);

}  // namespace cu::imagebuild
