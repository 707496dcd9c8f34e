// How the runtime ends the program when it cannot go on.
#pragma once
#include <cstdint>
#include <string>

namespace cu {

// Prints "cumulo-search: <message>" on stderr (and shows it when a window is
// up) and ends the process with status 3.
[[noreturn]] void fatal(const std::string& message);

// Runtime errors the image code detects (5: a value used as text is not one;
// 6: a DLL function got the wrong number of arguments): reported, then the
// program ends with a non-zero status.
[[noreturn]] void report_runtime_error(std::uint32_t code);

// Set by the window once it is up: shows the message in a dialog (called on
// whatever thread hit the error, before the process ends). Null removes it.
using ErrorDisplayHook = void (*)(const char* message);
void set_error_display_hook(ErrorDisplayHook hook);

}  // namespace cu
