// For profilers: with CUMULO_IMAGE_MAP naming the builder's map file, the
// loaded image's routines are listed in /tmp/perf-<pid>.map (the format perf
// reads for code it has no symbols for), at their loaded addresses.
#pragma once
#include <cstdint>

namespace cu::ostal {

void write_perf_map(const std::uint8_t* code_base);

}  // namespace cu::ostal
