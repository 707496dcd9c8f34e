// A tiny program for the loader test: its start routine reaches the runtime
// only through the service stubs and uses every kind of relocated operand.
#include "services.h"

extern "C" {
int32_t TinyCounter;         // in "var": a kind-2 operand
volatile double TinyScale = 0;  // in "var"

// Handed to the runtime by address (a kind-3 operand); the test calls it.
void TinyRegistered() { *cu_var_address(TinyCounter) += 10; }

// Bound in the tiny layout so that the layout's handler binding is exercised.
void TinyHandler() { __svc_FreeBlock(__svc_AllocateBlock(1)); }

__attribute__((noinline)) double TinyHalf(double x) { return x * 0.5 + 0.25; }

void tiny_start()
{
    *cu_var_address(TinyCounter) += 1;

    // A literal text (kind 1) copied into a fresh block and written to a unit
    // named by renumberable ids.
    const char* literal = "tiny text";
    char* block = static_cast<char*>(__svc_AllocateBlock(16));
    for (int i = 0; i < 10; ++i) block[i] = literal[i];
    __svc_WriteUnitProperty(CU_ABS(__unit_52010001), CU_ABS(__unit_16010105), 8, -1,
                            reinterpret_cast<uint64_t>(block), 0);
    __svc_FreeBlock(block);

    // The same literal once more: the builder stores it once.
    __svc_WriteUnitProperty(CU_ABS(__unit_52010001), CU_ABS(__unit_06010000), 8, -1,
                            reinterpret_cast<uint64_t>("tiny text"), 0);

    // A library command naming a library index and a library type id.
    cu_value args[2] = {{reinterpret_cast<uint64_t>(__const_empty_text), 0, CU_TAG_TEXT},
                        {reinterpret_cast<uint64_t>(__const_empty_array), 0, CU_ABS(__ltype_40001)}};
    __svc_CallLibraryCommand(CU_ABS(__lib_4), 0x12, 2, args);

    // A DLL command by its index.
    uint64_t words[1] = {7};
    __svc_CallDllCommand(CU_ABS(__dll_3), 1, words);

    // A double constant read PC-relative from const.
    *cu_var_address(TinyScale) = TinyHalf(3.0);

    __svc_RegisterRoutine(3, reinterpret_cast<uint64_t>(&TinyRegistered));
}
}
