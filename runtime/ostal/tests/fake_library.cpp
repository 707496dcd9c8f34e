// A support library for loader tests; name, identifier and version come from
// the build.
#include "cumulo_abi.h"
#include "values.h"

namespace {
cu_value answer(std::uint32_t, const cu_value*) { return cu::int_result(7); }
const cu_command commands[] = {{0x10, answer}};
const cu_library descriptor{FAKE_NAME, FAKE_ID, FAKE_MAJOR, FAKE_MINOR, "test library", commands, 1};
}  // namespace

extern "C" __attribute__((visibility("default"))) const cu_library* cu_library_descriptor() { return &descriptor; }
