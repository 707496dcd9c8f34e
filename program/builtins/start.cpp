// The image's start routine: the runtime calls it once the image is loaded.
#include "builtins.h"
#include "services.h"

namespace {

// The program's initialisation routine; this program has nothing to set up.
__attribute__((noipa)) void InitializeProgram() { asm volatile(""); }

// Handed to the runtime at start (selector 3); the program asks nothing of it.
__attribute__((noipa)) void RegisteredRoutine() { asm volatile(""); }

}  // namespace

extern "C" void cu_start(void)
{
    // Default floating-point state: x87 reset, SSE round-to-nearest with every
    // exception masked.
    const uint32_t mxcsr_default = 0x1F80;
    asm volatile("fninit\n\tldmxcsr %0" : : "m"(mxcsr_default));
    InitializeProgram();
    __svc_RegisterRoutine(3, reinterpret_cast<uint64_t>(&RegisteredRoutine));
    __svc_OpenStartWindow(CU_ABS(__unit_52010001));
    __svc_RunMessageLoop();
    __svc_EndProgram(0);
}
