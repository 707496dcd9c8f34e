// CoInitialize/CoUninitialize: nothing here needs COM, but the program pairs
// them around its script object, so each thread keeps the count Windows
// would: the first initialisation answers S_OK, a repeated one S_FALSE.
#include "platform_calls.h"

namespace cu::platform {
namespace {
constexpr std::uint64_t s_ok = 0;
constexpr std::uint64_t s_false = 1;
thread_local int initialisations = 0;
}  // namespace

int com_initialisations() { return initialisations; }

std::uint64_t co_initialize(const std::uint64_t*) { return initialisations++ == 0 ? s_ok : s_false; }

std::uint64_t co_uninitialize(const std::uint64_t*)
{
    if (initialisations > 0) --initialisations;
    return 0;
}

}  // namespace cu::platform
