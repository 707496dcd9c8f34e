// A reference through the global offset table.
#include "services.h"
extern "C" uint64_t t_start()
{
    uint64_t a;
    asm("movq t_start@GOTPCREL(%%rip), %0" : "=r"(a));
    return a;
}
