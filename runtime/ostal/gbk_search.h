// Searching GBK texts by bytes without ever matching inside a double-byte
// character: a match starts only where a character starts, so a pattern such
// as "file" is never found across the trail byte of a Chinese character.
#pragma once
#include <cstddef>
#include <string_view>

namespace cu::gbk_search {

// A double-byte character: a lead byte 0x81..0xFE followed by a trail byte
// 0x40..0xFE other than 0x7F. Anything else is one byte wide.
bool starts_double_byte(std::string_view text, std::size_t i);
inline std::size_t char_width(std::string_view text, std::size_t i) { return starts_double_byte(text, i) ? 2 : 1; }

// Finds `pattern` in `text` at a character boundary at or after byte `from`
// (boundaries are counted from the start of the text). `exact_case` false
// also matches other letter cases of ASCII letters. npos when absent or when
// the pattern is empty.
class Finder {
public:
    Finder(std::string_view text, std::string_view pattern, bool exact_case)
        : text_(text), pattern_(pattern), exact_case_(exact_case) {}
    std::size_t next(std::size_t from);

private:
    bool matches_at(std::size_t i) const;
    void walk_to(std::size_t i);

    std::string_view text_;
    std::string_view pattern_;
    bool exact_case_;
    std::size_t boundary_ = 0;  // the last character start reached by the walk
};

}  // namespace cu::gbk_search
