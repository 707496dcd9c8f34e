#include "gbk_search.h"

#include <cstdint>
#include <cstring>

#include "gbk.h"

namespace cu::gbk_search {
namespace {

unsigned char byte_at(std::string_view s, std::size_t i) { return static_cast<unsigned char>(s[i]); }

unsigned char fold(unsigned char b) { return b >= 'a' && b <= 'z' ? static_cast<unsigned char>(b - 32) : b; }

// Eight bytes below 0x80 from a character start are eight one-byte
// characters (a trail byte may look like ASCII, but its lead byte never does),
// and the answers searched are mostly ASCII.
bool eight_ascii_bytes(std::string_view text, std::size_t i)
{
    std::uint64_t word;
    std::memcpy(&word, text.data() + i, sizeof word);
    return (word & 0x8080808080808080u) == 0;
}

}  // namespace

bool starts_double_byte(std::string_view text, std::size_t i)
{
    if (i + 1 >= text.size()) return false;
    return is_gbk_pair(byte_at(text, i), byte_at(text, i + 1));
}

void Finder::walk_to(std::size_t i)
{
    while (boundary_ < i) {
        if (i - boundary_ >= 8 && eight_ascii_bytes(text_, boundary_)) boundary_ += 8;
        else boundary_ += char_width(text_, boundary_);
    }
}

bool Finder::matches_at(std::size_t i) const
{
    if (text_.size() - i < pattern_.size()) return false;
    for (std::size_t k = 0; k < pattern_.size();) {
        if (starts_double_byte(pattern_, k)) {
            if (text_[i + k] != pattern_[k] || text_[i + k + 1] != pattern_[k + 1]) return false;
            k += 2;
        } else {
            const unsigned char t = byte_at(text_, i + k), p = byte_at(pattern_, k);
            if (exact_case_ ? t != p : fold(t) != fold(p)) return false;
            k += 1;
        }
    }
    return true;
}

std::size_t Finder::next(std::size_t from)
{
    if (pattern_.empty() || from > text_.size()) return std::string_view::npos;
    if (from < boundary_) boundary_ = 0;  // a search that goes back starts the walk again
    if (exact_case_) {
        // Candidates from a plain byte search, kept only when they start a character.
        for (std::size_t at = text_.find(pattern_, from); at != std::string_view::npos;
             at = text_.find(pattern_, at + 1)) {
            walk_to(at);
            if (boundary_ == at) return at;
        }
        return std::string_view::npos;
    }
    walk_to(from);
    for (; boundary_ + pattern_.size() <= text_.size(); boundary_ += char_width(text_, boundary_))
        if (matches_at(boundary_)) return boundary_;
    return std::string_view::npos;
}

}  // namespace cu::gbk_search
