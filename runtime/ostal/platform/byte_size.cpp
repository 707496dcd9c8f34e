// StrFormatByteSizeA: a byte count as a short size text the way Windows
// writes it: "532 bytes", then KB, MB, GB, TB, PB, EB with three significant
// digits, truncated, never rounded ("1.30 KB", "22.9 KB", "2.28 MB"). A count
// of 1000 units or more moves to the next unit ("0.99 MB"). The whole 64-bit
// count is read, so a size beyond 4 GB shows its true value.
#include <algorithm>
#include <cstdio>
#include <iterator>
#include <cstring>

#include "platform_calls.h"

namespace cu::platform {
namespace {

// Writes the size text into `out` (at least 32 bytes).
void size_text(std::uint64_t bytes, char* out, std::size_t size)
{
    if (bytes < 1024) {
        std::snprintf(out, size, "%llu bytes", static_cast<unsigned long long>(bytes));
        return;
    }
    static const char* const units[] = {"KB", "MB", "GB", "TB", "PB", "EB"};
    unsigned k = 0;
    unsigned __int128 unit = 1024;
    while (k + 1 < std::size(units) && bytes >= 1000 * unit) ++k, unit *= 1024;
    const int decimals = bytes < 10 * unit ? 2 : bytes < 100 * unit ? 1 : 0;
    const unsigned scale = decimals == 2 ? 100 : decimals == 1 ? 10 : 1;
    const auto scaled = static_cast<unsigned long long>(bytes * static_cast<unsigned __int128>(scale) / unit);
    if (decimals == 0)
        std::snprintf(out, size, "%llu %s", scaled, units[k]);
    else
        std::snprintf(out, size, "%llu.%0*llu %s", scaled / scale, decimals, scaled % scale, units[k]);
}

}  // namespace

std::uint64_t format_byte_size(const std::uint64_t* args)
{
    auto* buffer = reinterpret_cast<char*>(static_cast<std::uintptr_t>(args[1]));
    const auto capacity = static_cast<std::uint32_t>(args[2]);
    if (!buffer) return 0;
    char text[48];
    size_text(args[0], text, sizeof text);
    if (capacity > 0) {
        const std::size_t n = std::min<std::size_t>(std::strlen(text), capacity - 1);
        std::memcpy(buffer, text, n);
        buffer[n] = '\0';
    }
    return args[1];
}

}  // namespace cu::platform
