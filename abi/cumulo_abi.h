/* The contract between image code and the runtime: values, type tags, service
 * slots, command and DLL-function entry points, support-library descriptors.
 * Plain C so that freestanding image code, the hosted runtime and the builder
 * all read the same definitions. */
#ifndef CUMULO_ABI_H
#define CUMULO_ABI_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* An argument record and a general value share one shape: a pointer-sized
 * value word, a 32-bit high word and a 32-bit type tag. 16 bytes, returned in
 * RAX:RDX by the x86-64 calling convention. */
typedef struct cu_value {
    uint64_t value;
    uint32_t high;
    uint32_t tag;
} cu_value;

/* Type tags. */
#define CU_TAG_OMITTED    0x00000000u
#define CU_TAG_LOGICAL    0x80000002u
#define CU_TAG_TEXT       0x80000004u
#define CU_TAG_BYTES      0x80000005u
#define CU_TAG_SUBROUTINE 0x80000006u
#define CU_TAG_BYTE       0x80000101u
#define CU_TAG_INT        0x80000301u
#define CU_TAG_LONG       0x80000401u
#define CU_TAG_DOUBLE     0x80000601u /* value word holds the IEEE-754 bits */

/* Library type ids: (library index + 1) << 16 | the type's number. */
#define CU_LTYPE_WINDOW   0x00010001u
#define CU_LTYPE_MENU     0x00010003u
#define CU_LTYPE_EDIT     0x00010005u
#define CU_LTYPE_LABEL    0x0001000Au
#define CU_LTYPE_BUTTON   0x0001000Bu
#define CU_LTYPE_COMBO    0x0001000Eu
#define CU_LTYPE_OBJECT   0x00010030u
#define CU_LTYPE_LIST     0x00020004u
#define CU_LTYPE_DOCUMENT 0x00040001u

/* Library indices in the image's support-library list. */
#define CU_LIB_OSTAL   0u
#define CU_LIB_WIDGX   1u
#define CU_LIB_NETSUP  2u
#define CU_LIB_JDOC    3u
#define CU_LIB_PARLO   4u
#define CU_LIB_SYSBIND 5u

/* Runtime error codes. */
#define CU_ERROR_WRONG_TYPE  5u /* a general value used as text is not a text */
#define CU_ERROR_DLL_ARITY   6u /* a DLL function got a different number of arguments */

/* Service slots, by the byte offset that kind-0 relocations store. The
 * runtime keeps one 8-byte entry per slot; the entry for offset o is at
 * table + 2 * o. */
#define CU_SLOT_ReportRuntimeError 0x00u
#define CU_SLOT_CallDllCommand     0x04u
#define CU_SLOT_CallLibraryCommand 0x08u
#define CU_SLOT_CallKernelCommand  0x0Cu
#define CU_SLOT_ReadUnitProperty   0x10u
#define CU_SLOT_WriteUnitProperty  0x14u
#define CU_SLOT_AllocateBlock      0x18u
#define CU_SLOT_Unused1C           0x1Cu
#define CU_SLOT_FreeBlock          0x20u
#define CU_SLOT_EndProgram         0x24u
#define CU_SLOT_RunMessageLoop     0x28u
#define CU_SLOT_OpenStartWindow    0x2Cu
#define CU_SLOT_RegisterRoutine    0x30u
#define CU_SLOT_COUNT              13u

/* Image code names a service by calling the undefined function
 * CU_SERVICE_PREFIX <name>; the builder turns each into a stub that jumps
 * through the slot. X(name, slot offset) */
#define CU_SERVICE_PREFIX "__svc_"
#define CU_SERVICES(X)                                  \
    X(ReportRuntimeError, CU_SLOT_ReportRuntimeError)   \
    X(CallDllCommand, CU_SLOT_CallDllCommand)           \
    X(CallLibraryCommand, CU_SLOT_CallLibraryCommand)   \
    X(CallKernelCommand, CU_SLOT_CallKernelCommand)     \
    X(ReadUnitProperty, CU_SLOT_ReadUnitProperty)       \
    X(WriteUnitProperty, CU_SLOT_WriteUnitProperty)     \
    X(AllocateBlock, CU_SLOT_AllocateBlock)             \
    X(FreeBlock, CU_SLOT_FreeBlock)                     \
    X(EndProgram, CU_SLOT_EndProgram)                   \
    X(RunMessageLoop, CU_SLOT_RunMessageLoop)           \
    X(OpenStartWindow, CU_SLOT_OpenStartWindow)         \
    X(RegisterRoutine, CU_SLOT_RegisterRoutine)

/* Named absolute symbols through which image code uses numbers that the
 * runtime may renumber; the builder lists every such operand in the matching
 * "@reloc1" group. The suffix is the number in hexadecimal (no 0x).
 *   __unit_52010001   unit or window id    (group 0)
 *   __dll_3           DLL-command index    (group 1)
 *   __lib_3           library index        (group 2)
 *   __ltype_40001     library type id      (group 3)
 * and two constants the builder places in "const":
 *   __const_empty_text, __const_empty_array */
#define CU_SYM_UNIT   "__unit_"
#define CU_SYM_DLL    "__dll_"
#define CU_SYM_LIB    "__lib_"
#define CU_SYM_LTYPE  "__ltype_"
#define CU_SYM_EMPTY_TEXT  "__const_empty_text"
#define CU_SYM_EMPTY_ARRAY "__const_empty_array"

/* Service signatures. */
typedef void     (*cu_ReportRuntimeError_fn)(uint32_t code);
typedef uint64_t (*cu_CallDllCommand_fn)(uint32_t index, uint32_t argc, const uint64_t* args);
typedef cu_value (*cu_CallLibraryCommand_fn)(uint32_t library, uint32_t command, uint32_t argc,
                                             const cu_value* args);
typedef cu_value (*cu_CallKernelCommand_fn)(uint32_t command, uint32_t argc, const cu_value* args);
typedef uint64_t (*cu_ReadUnitProperty_fn)(uint32_t window, uint32_t unit, uint32_t property,
                                           int32_t index);
typedef void     (*cu_WriteUnitProperty_fn)(uint32_t window, uint32_t unit, uint32_t property,
                                            int32_t index, uint64_t value, uint32_t high);
typedef void*    (*cu_AllocateBlock_fn)(uint32_t size);
typedef void     (*cu_FreeBlock_fn)(void* block);
typedef void     (*cu_EndProgram_fn)(int32_t code);
typedef void     (*cu_RunMessageLoop_fn)(void);
typedef void     (*cu_OpenStartWindow_fn)(uint32_t window);
typedef void     (*cu_RegisterRoutine_fn)(uint32_t selector, uint64_t routine);

/* A numbered command of a library. Arguments are never consumed; a text or
 * array result is a fresh block from the runtime's allocator. */
typedef cu_value (*cu_command_fn)(uint32_t argc, const cu_value* args);
typedef struct cu_command {
    uint32_t number;
    cu_command_fn run;
} cu_command;

/* What every support library exports as CU_LIBRARY_EXPORT. */
typedef struct cu_library {
    const char* short_name;  /* file stem, e.g. "netsup" */
    const char* identifier;  /* 32 hexadecimal digits */
    uint32_t major;
    uint32_t minor;
    const char* description;
    const cu_command* commands;
    uint32_t command_count;
} cu_library;
#define CU_LIBRARY_EXPORT "cu_library_descriptor"
typedef const cu_library* (*cu_library_descriptor_fn)(void);

/* A platform function behind a DLL command: bound by (library, function) name,
 * called with exactly `arity` raw argument words. */
typedef uint64_t (*cu_platform_fn)(const uint64_t* args);
typedef struct cu_platform_function {
    const char* library;  /* lower case, e.g. "kernel32.dll" */
    const char* function;
    uint32_t arity;
    cu_platform_fn call;
} cu_platform_function;

/* The kernel library's one export, called by the launcher with 1000. */
typedef void (*cu_start_fn)(const void* image);
#define CU_GETNEWSOCK_MAGIC 1000

#ifdef __cplusplus
}
#endif

#endif
