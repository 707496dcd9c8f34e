// The grams the index lists shares under: each character of a folded name, and each pair of
// adjacent characters, as one number (code points have 21 bits).
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace cumulo::server {

inline constexpr std::uint64_t pair_flag = 1ull << 42;

inline std::uint64_t gram_of(std::uint32_t character)
{
    return character;
}

inline std::uint64_t gram_of(std::uint32_t first, std::uint32_t second)
{
    return pair_flag | (std::uint64_t{first} << 21) | second;
}

// The distinct grams of a name's characters, in rising order.
inline void grams_of_name(const std::vector<std::uint32_t>& characters, std::vector<std::uint64_t>& grams)
{
    grams.clear();
    for (std::size_t i = 0; i < characters.size(); ++i) {
        grams.push_back(gram_of(characters[i]));
        if (i > 0)
            grams.push_back(gram_of(characters[i - 1], characters[i]));
    }
    std::sort(grams.begin(), grams.end());
    grams.erase(std::unique(grams.begin(), grams.end()), grams.end());
}

}  // namespace cumulo::server
