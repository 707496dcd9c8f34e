#include "http/descriptors.h"

#include <sys/resource.h>

#include <algorithm>

namespace cumulo::server {

namespace {

// Standard streams, the event loop's own descriptors, the listener, and room for the odd
// file a library opens.
constexpr std::size_t fixed_reserve = 32;
// A catalogue connection holds the file, its log and the log's index.
constexpr std::size_t per_worker_reserve = 4;

std::size_t soft_limit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return SIZE_MAX;
    return static_cast<std::size_t>(limit.rlim_cur);
}

}  // namespace

std::size_t raise_descriptor_limit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    return soft_limit();
}

std::size_t connections_within_descriptors(std::size_t wanted, unsigned workers)
{
    std::size_t available = soft_limit();
    std::size_t reserve = fixed_reserve + per_worker_reserve * workers;
    // Some connections are always let in: a service that takes none serves nobody.
    constexpr std::size_t fewest = 8;
    return std::clamp(available > reserve ? available - reserve : 0, std::min(fewest, wanted), wanted);
}

}  // namespace cumulo::server
