// Numbers in messages as the program writes them: command numbers, slots.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

namespace cu::ostal {

inline std::string hex_text(std::uint32_t v)
{
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%X", v);
    return buffer;
}

}  // namespace cu::ostal
