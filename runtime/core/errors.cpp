#include "errors.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace cu {
namespace {
std::atomic<ErrorDisplayHook> display_hook{nullptr};

const char* runtime_error_text(std::uint32_t code)
{
    switch (code) {
    case 5: return "a value used as text is not a text";
    case 6: return "a DLL function was called with the wrong number of arguments";
    default: return "unknown runtime error";
    }
}
}  // namespace

void set_error_display_hook(ErrorDisplayHook hook) { display_hook = hook; }

void fatal(const std::string& message)
{
    std::fprintf(stderr, "cumulo-search: %s\n", message.c_str());
    std::fflush(stderr);
    if (ErrorDisplayHook hook = display_hook.load()) hook(message.c_str());
    // _Exit: another thread may still run image code; static destructors
    // must not run under it.
    std::_Exit(3);
}

void report_runtime_error(std::uint32_t code)
{
    fatal("runtime error " + std::to_string(code) + ": " + runtime_error_text(code));
}

}  // namespace cu
