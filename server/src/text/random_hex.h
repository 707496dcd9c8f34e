// Random identifiers and secrets from the system's random source.
#pragma once

#include <cstddef>
#include <string>

namespace cumulo::server {

// `bytes` random bytes as 2 * bytes lower-case hex digits. Throws when the system has no
// random source to give.
std::string random_hex(std::size_t bytes);

}  // namespace cumulo::server
