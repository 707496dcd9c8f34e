// The kernel library's command table and platform layer are assembled from
// these modules; each returns its own entries.
#pragma once
#include <span>

#include "cumulo_abi.h"

namespace cu::kernel {

std::span<const cu_command> text_commands();          // texts and byte arrays (text_commands.cpp)
std::span<const cu_command> script_object_commands(); // automation objects (script_objects.cpp)
std::span<const cu_command> window_commands();        // clipboard, message box, events, popup, combo (window/)

// Functions behind DLL commands, bound by (library, function) name.
std::span<const cu_platform_function> platform_functions();  // platform/

}  // namespace cu::kernel
