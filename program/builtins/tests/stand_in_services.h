// Services for builtins running in a hosted test program: blocks from malloc,
// and a record of what the start routine asked for.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace builtins_test {
// The sizes of the blocks allocated since the last clear.
extern std::vector<std::uint32_t> allocations;
// The services the start routine called, in order, written to stderr by
// EndProgram before it exits with its code.
extern std::string start_trace;
}  // namespace builtins_test
