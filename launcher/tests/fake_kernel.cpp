// Kernel libraries for the launcher tests: one that starts (and records the
// image it was given), one without GetNewSock, one whose GetNewSock refuses.
#include <cstdint>

#if !defined(NO_ENTRY)
namespace {
void start(const void* image);
}

extern "C" {
__attribute__((visibility("default"))) const void* fake_kernel_image = nullptr;

__attribute__((visibility("default"))) std::uintptr_t GetNewSock(std::int32_t magic)
{
#if defined(REFUSE)
    (void)magic;
    return 0;
#else
    return magic == 1000 ? reinterpret_cast<std::uintptr_t>(&start) : 0;
#endif
}
}

namespace {
void start(const void* image) { fake_kernel_image = image; }
}  // namespace
#endif
