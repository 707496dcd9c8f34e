// For tests: load an image as the start function would, without calling its
// start routine, and learn where it went, so image routines can be called by
// their map-file offsets.
#pragma once
#include <stddef.h>
#include <stdint.h>

extern "C" {

struct cu_loaded_for_test {
    uint8_t* code_base;
    uint8_t* var_base;
    const uint8_t* const_base;
    const uint64_t* service_table;  // entry for slot offset o at byte 2 * o
    uint64_t start;                 // address of the start routine
};

// Loads the `size` bytes at `image`; support libraries come from
// `library_dir` (with its final separator; null: the kernel library's own
// directory), with the extension ".vlr". A load failure ends the process with
// a message, as it does for the program. Once per process.
void cu_runtime_load_for_test(const void* image, size_t size, const char* library_dir, cu_loaded_for_test* out);
}
