// The table the loader binds DLL commands against, by (library, function).
#include "kernel_modules.h"
#include "platform_calls.h"

namespace cu::kernel {
namespace {

constexpr cu_platform_function table[] = {
    {"kernel32.dll", "MultiByteToWideChar", 6, platform::multi_byte_to_wide_char},
    {"kernel32.dll", "WideCharToMultiByte", 8, platform::wide_char_to_multi_byte},
    {"ole32.dll", "CoInitialize", 1, platform::co_initialize},
    {"ole32.dll", "CoUninitialize", 0, platform::co_uninitialize},
    {"shlwapi.dll", "StrFormatByteSizeA", 3, platform::format_byte_size},
};

}  // namespace

std::span<const cu_platform_function> platform_functions() { return table; }

}  // namespace cu::kernel
