// The functions behind the DLL commands, each taking its raw argument words
// (integers as themselves, pointers as plain addresses) and returning the
// result word the program reads.
#pragma once
#include <cstdint>

namespace cu::platform {

// (code page, flags, source, source length, destination, capacity in units)
std::uint64_t multi_byte_to_wide_char(const std::uint64_t* args);
// (code page, flags, units, unit count, destination, capacity in bytes,
//  default character, used-default flag)
std::uint64_t wide_char_to_multi_byte(const std::uint64_t* args);
// (reserved) / ()
std::uint64_t co_initialize(const std::uint64_t* args);
std::uint64_t co_uninitialize(const std::uint64_t* args);
// (byte count, buffer, buffer length)
std::uint64_t format_byte_size(const std::uint64_t* args);

// How many times the calling thread has initialised COM without undoing it.
int com_initialisations();

}  // namespace cu::platform
