// Reading the unsigned decimal numbers that come from outside: requests, options and
// catalogue lines. Every step is overflow-checked, so no number past 64 bits wraps around.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace cumulo::server {

// Plain decimal digits: no sign, no spaces, at least one digit. nullopt when the text is not
// that; a value above `ceiling` (however many digits it has) comes back as ceiling + 1, so
// callers can cap it or refuse it. `ceiling` must be below UINT64_MAX.
inline std::optional<std::uint64_t> parse_decimal(std::string_view digits, std::uint64_t ceiling)
{
    if (digits.empty())
        return std::nullopt;
    std::uint64_t value = 0;
    bool above = false;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return std::nullopt;
        auto digit = static_cast<std::uint64_t>(c - '0');
        // value * 10 + digit > ceiling, asked without computing it
        if (above || digit > ceiling || value > (ceiling - digit) / 10)
            above = true;
        else
            value = value * 10 + digit;
    }
    return above ? ceiling + 1 : value;
}

// A number from 0 to `ceiling`, or nullopt for anything else (not digits, or too large).
inline std::optional<std::uint64_t> parse_decimal_up_to(std::string_view digits, std::uint64_t ceiling)
{
    auto value = parse_decimal(digits, ceiling);
    return value && *value <= ceiling ? value : std::nullopt;
}

}  // namespace cumulo::server
