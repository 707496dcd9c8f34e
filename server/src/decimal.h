// Reading the unsigned decimal numbers of requests, options and catalogue lines.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace cumulo::server {

// Plain decimal digits: no sign, no spaces, at least one digit. nullopt when the text is not
// that; a value above `ceiling` comes back as ceiling + 1, so callers can cap it or refuse it.
inline std::optional<std::uint64_t> parse_decimal(std::string_view digits, std::uint64_t ceiling)
{
    if (digits.empty())
        return std::nullopt;
    std::uint64_t value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return std::nullopt;
        if (value <= ceiling)
            value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return value <= ceiling ? value : ceiling + 1;
}

}  // namespace cumulo::server
