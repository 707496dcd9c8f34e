// Double to 64-bit integer with rounding toward zero.
#include "builtins.h"

// cvttsd2si truncates whatever the rounding mode in MXCSR or the x87 control
// word says, so the caller's mode is never changed and needs no restoring.
// A value out of range (or NaN) gives 0x8000000000000000.
extern "C" int64_t DoubleToInteger(double value)
{
    int64_t result;
    asm("cvttsd2si %1, %0" : "=r"(result) : "x"(value));
    return result;
}
