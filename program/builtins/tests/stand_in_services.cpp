#include "stand_in_services.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "services.h"

// The unit id the start routine names as an absolute operand.
asm(".globl __unit_52010001\n.set __unit_52010001, 0x52010001");

namespace builtins_test {
std::vector<std::uint32_t> allocations;
std::string start_trace;
}  // namespace builtins_test

namespace {

std::uint32_t mxcsr()
{
    std::uint32_t v;
    asm volatile("stmxcsr %0" : "=m"(v));
    return v;
}

std::uint16_t x87_control()
{
    std::uint16_t v;
    asm volatile("fnstcw %0" : "=m"(v));
    return v;
}

void note(const std::string& what) { builtins_test::start_trace += what + " "; }

}  // namespace

extern "C" {

void* __svc_AllocateBlock(uint32_t size)
{
    builtins_test::allocations.push_back(size);
    return std::malloc(size ? size : 1);
}

void __svc_RegisterRoutine(uint32_t selector, uint64_t routine)
{
    char buffer[96];
    std::snprintf(buffer, sizeof buffer, "register:%u:%s mxcsr:%X cw:%X", selector, routine ? "routine" : "null",
                  mxcsr(), x87_control());
    note(buffer);
}

void __svc_OpenStartWindow(uint32_t window)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "open:%X", window);
    note(buffer);
}

void __svc_RunMessageLoop(void) { note("loop"); }

void __svc_EndProgram(int32_t code)
{
    note("end:" + std::to_string(code));
    std::fprintf(stderr, "%s\n", builtins_test::start_trace.c_str());
    std::fflush(stderr);
    _exit(code);
}
}
