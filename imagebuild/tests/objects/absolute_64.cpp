// A 64-bit absolute address in code.
#include "services.h"
extern "C" uint64_t t_start()
{
    uint64_t a;
    asm("movabsq $t_start, %0" : "=r"(a));
    return a;
}
