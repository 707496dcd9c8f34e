// Two objects with the same literal (with shared_text_b.cpp): the builder
// stores it once.
#include "services.h"
extern "C" const char* TextB();
extern "C" const char* TextA() { return "shared text"; }
extern "C" void t_start()
{
    __svc_WriteUnitProperty(CU_ABS(__unit_52010001), CU_ABS(__unit_06010000), 8, -1,
                            reinterpret_cast<uint64_t>(TextA()), 0);
    __svc_WriteUnitProperty(CU_ABS(__unit_52010001), CU_ABS(__unit_06010000), 8, -1,
                            reinterpret_cast<uint64_t>(TextB()), 0);
}
extern "C" void Handler() {}
