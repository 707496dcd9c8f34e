// Loading a program image: validate, copy below 2 GiB, give "var" its block,
// bind the support libraries and DLL commands, relocate, protect (W^X) and
// hand the window its layout. The start routine is the caller's to call.
#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "library_binding.h"
#include "program.h"

namespace cu::ostal {

// The kernel library's own descriptor: identifier, version and the kernel
// command table.
const cu_library& kernel_descriptor();

// How the support libraries are bound: all before load_program returns, or as
// a start binds them, leaving a late library whose files have not changed
// since it last bound until after the window shows (late_libraries.h).
enum class LibraryBinding { before_return, during_start };

// Loads the image in `bytes` (which may run on past the image's end). Every
// failure ends the process with "image <name>: <reason>". The returned
// program stays loaded until the process ends.
const Program& load_program(std::span<const std::uint8_t> bytes, std::string_view name, const LibraryPlace& place,
                            LibraryBinding binding = LibraryBinding::before_return);

// The bytes readable from `image` to the end of the loaded segment holding
// it: the launcher passes only an address, and the validator needs a bound.
std::span<const std::uint8_t> readable_extent(const void* image);

}  // namespace cu::ostal
