// The one letter-case rule of the search, for keys of every length and for names alike: each
// character is replaced by its Unicode simple case folding ("É" -> "é", "Σ" and "ς" -> "σ",
// "Ａ" -> "ａ"), and a key matches a name when the folded key is a substring of the folded name.
// Nothing else is normalised: "é" and "e", "ａ" (full width) and "a" stay different letters.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace cumulo::server {

// Appends the folded text to `folded` and its characters to `characters`. Bytes that are not
// well-formed UTF-8 become U+FFFD (stored names and keys are checked before they get here).
void fold_case(std::string_view utf8, std::string& folded, std::vector<std::uint32_t>& characters);

}  // namespace cumulo::server
