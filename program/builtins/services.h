// Image code's view of the runtime: the services (reached through stubs the
// builder places at the end of code) and the absolute numbers the runtime may
// renumber. Freestanding: no library, no exceptions, no globals except
// through cu_var_address.
#pragma once
#include "cumulo_abi.h"

extern "C" {
void __svc_ReportRuntimeError(uint32_t code);
uint64_t __svc_CallDllCommand(uint32_t index, uint32_t argc, const uint64_t* args);
cu_value __svc_CallLibraryCommand(uint32_t library, uint32_t command, uint32_t argc, const cu_value* args);
cu_value __svc_CallKernelCommand(uint32_t command, uint32_t argc, const cu_value* args);
uint64_t __svc_ReadUnitProperty(uint32_t window, uint32_t unit, uint32_t property, int32_t index);
void __svc_WriteUnitProperty(uint32_t window, uint32_t unit, uint32_t property, int32_t index, uint64_t value,
                             uint32_t high);
void* __svc_AllocateBlock(uint32_t size);
void __svc_FreeBlock(void* block);
[[noreturn]] void __svc_EndProgram(int32_t code);
void __svc_RunMessageLoop(void);
void __svc_OpenStartWindow(uint32_t window);
void __svc_RegisterRoutine(uint32_t selector, uint64_t routine);

extern const char __const_empty_text[];
extern const unsigned char __const_empty_array[];
}

// A number the runtime may renumber, as an absolute operand the builder lists
// in its "@reloc1" group: CU_ABS(__unit_16010009), CU_ABS(__dll_0), ...
#define CU_ABS(sym)                                \
    ({                                             \
        uint32_t cu_abs_value_;                    \
        asm("movl $" #sym ", %0" : "=r"(cu_abs_value_)); \
        cu_abs_value_;                             \
    })

// The absolute address of a global in "var" (a kind-2 operand); globals are
// never reached PC-relative, so "var" can live in its own block.
template <typename T>
inline T* cu_var_address(T& v)
{
    T* p;
    asm("movl $%c1, %k0" : "=r"(p) : "i"(&v));
    return p;
}
