// The loaded program as the services see it: bound libraries and DLL
// commands, the service table and where the image lives. Set once by the
// loader before any image code runs; read-only afterwards, so both threads
// read it without a lock.
#pragma once
#include <cstdint>
#include <span>
#include <vector>

#include "dll_binding.h"
#include "library_binding.h"

namespace cu::ostal {

struct Program {
    std::vector<BoundLibrary> libraries;  // by library index
    std::vector<BoundDll> dlls;           // by DLL-command index
    std::uint8_t* image = nullptr;        // the relocated copy
    std::size_t image_size = 0;
    std::uint8_t* const_base = nullptr;
    std::uint8_t* code_base = nullptr;
    std::uint8_t* var_base = nullptr;
    std::uint64_t* service_table = nullptr;
    std::uint64_t start = 0;  // address of the start routine
};

// The program the services serve; null before a load.
const Program* loaded_program();
void set_loaded_program(const Program* program);

// Writes the service entry points into `table`: the entry for slot offset o at
// table + 2 * o, one 8-byte word per slot.
void fill_service_table(std::uint64_t* table);
inline constexpr std::size_t kServiceTableBytes = CU_SLOT_COUNT * 8;

}  // namespace cu::ostal
