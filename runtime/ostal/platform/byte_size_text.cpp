#include "byte_size_text.h"

#include <cstdio>
#include <iterator>

namespace cu::platform {

std::string byte_size_text(std::uint64_t bytes)
{
    char out[48];
    if (bytes < 1024) {
        std::snprintf(out, sizeof out, "%llu bytes", static_cast<unsigned long long>(bytes));
        return out;
    }
    static const char* const units[] = {"KB", "MB", "GB", "TB", "PB", "EB"};
    unsigned k = 0;
    unsigned __int128 unit = 1024;
    while (k + 1 < std::size(units) && bytes >= 1000 * unit) ++k, unit *= 1024;
    const int decimals = bytes < 10 * unit ? 2 : bytes < 100 * unit ? 1 : 0;
    const unsigned scale = decimals == 2 ? 100 : decimals == 1 ? 10 : 1;
    const auto scaled = static_cast<unsigned long long>(bytes * static_cast<unsigned __int128>(scale) / unit);
    if (decimals == 0)
        std::snprintf(out, sizeof out, "%llu %s", scaled, units[k]);
    else
        std::snprintf(out, sizeof out, "%llu.%0*llu %s", scaled / scale, decimals, scaled % scale, units[k]);
    return out;
}

}  // namespace cu::platform
