#include "perf_map.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace cu::ostal {

void write_perf_map(const std::uint8_t* code_base)
{
    const char* map_path = std::getenv("CUMULO_IMAGE_MAP");
    if (!map_path || !*map_path) return;
    std::ifstream map(map_path);
    std::ofstream perf("/tmp/perf-" + std::to_string(getpid()) + ".map");
    if (!map || !perf) return;  // a missing listing costs the profile its names, nothing else
    for (std::string line; std::getline(map, line);) {
        std::istringstream fields(line);
        std::string section, offset, size, name;
        if (!(fields >> section >> offset >> size >> name) || section != "code") continue;
        const auto address = reinterpret_cast<std::uintptr_t>(code_base) + std::strtoull(offset.c_str(), nullptr, 16);
        perf << std::hex << address << ' ' << std::strtoull(size.c_str(), nullptr, 16) << ' ' << name << '\n';
    }
}

}  // namespace cu::ostal
