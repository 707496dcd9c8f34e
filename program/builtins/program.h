// Typed helpers for image code: argument records, the kernel commands on
// texts, byte arrays and script objects, and calls of the declared DLL
// functions. Every call still goes through the service table; the helpers
// only spare the caller building records by hand.
//
// Ownership is the runtime's: every text, byte array or object block that a
// wrapper returns is a fresh block owned by the caller, who hands it to
// prog::release once consumed (FreeBlock tolerates literals, and release
// tolerates null). Arguments are never consumed.
//
// Freestanding: no library, no globals, no tables in const. Pointer values
// pass through prog::opaque before they go into a record, so the compiler
// never folds a record holding an address into a constant in const (the
// builder refuses relocations there).
#pragma once
#include "builtins.h"
#include "services.h"

namespace prog {

// --- values the compiler must not fold ---------------------------------

template <typename T>
inline T opaque(T v)
{
    asm("" : "+r"(v));
    return v;
}

// The const section's empty text (offset 0) and empty-array constant, as
// absolute operands.
inline const char* empty_text()
{
    const char* p;
    asm("movl $__const_empty_text, %k0" : "=r"(p));
    return p;
}

inline const uint8_t* empty_array()
{
    const uint8_t* p;
    asm("movl $__const_empty_array, %k0" : "=r"(p));
    return p;
}

// --- argument records ------------------------------------------------

inline cu_value arg_omitted() { return {0, 0, CU_TAG_OMITTED}; }
inline cu_value arg_int(int32_t v) { return {static_cast<uint32_t>(v), 0, CU_TAG_INT}; }
inline cu_value arg_logical(bool v) { return {v ? 1u : 0u, 0, CU_TAG_LOGICAL}; }

inline cu_value arg_long(int64_t v)
{
    const auto u = static_cast<uint64_t>(v);
    return {u & 0xFFFFFFFFu, static_cast<uint32_t>(u >> 32), CU_TAG_LONG};
}

// A text: null travels as the const empty text, never as a null pointer.
inline cu_value arg_text(const char* text)
{
    const char* p = text ? text : empty_text();
    return {reinterpret_cast<uint64_t>(opaque(p)), 0, CU_TAG_TEXT};
}

// A byte array block: null travels as the empty-array constant.
inline cu_value arg_bytes(const uint8_t* block)
{
    const uint8_t* p = block ? block : empty_array();
    return {reinterpret_cast<uint64_t>(opaque(p)), 0, CU_TAG_BYTES};
}

// An integer variable passed by reference (the command writes through it).
inline cu_value arg_int_ref(int32_t* variable)
{
    return {reinterpret_cast<uint64_t>(opaque(variable)), 0, CU_TAG_INT};
}

// A library object: its block and its library type id (CU_ABS(__ltype_...)).
inline cu_value arg_object(void* block, uint32_t type_id)
{
    return {reinterpret_cast<uint64_t>(opaque(block)), 0, type_id};
}

// A unit: window unit id, unit id, library type id (all CU_ABS(...)).
inline cu_value arg_unit(uint32_t window, uint32_t unit, uint32_t type_id) { return {window, unit, type_id}; }

inline cu_value arg_subroutine(void (*routine)())
{
    return {reinterpret_cast<uint64_t>(opaque(routine)), 0, CU_TAG_SUBROUTINE};
}

// --- calling commands ----------------------------------------------------

template <typename... Records>
inline cu_value kernel(uint32_t command, Records... records)
{
    if constexpr (sizeof...(Records) == 0) {
        return __svc_CallKernelCommand(command, 0, nullptr);
    } else {
        cu_value list[] = {records...};
        return __svc_CallKernelCommand(command, sizeof...(Records), list);
    }
}

// `library` is the renumberable index: prog::library(CU_ABS(__lib_3), ...).
template <typename... Records>
inline cu_value library(uint32_t library, uint32_t command, Records... records)
{
    if constexpr (sizeof...(Records) == 0) {
        return __svc_CallLibraryCommand(library, command, 0, nullptr);
    } else {
        cu_value list[] = {records...};
        return __svc_CallLibraryCommand(library, command, sizeof...(Records), list);
    }
}

// A declared DLL function with its raw argument words: prog::dll(CU_ABS(__dll_3), ...).
// The runtime checks the arity itself (runtime error 6).
template <typename... Words>
inline uint64_t dll(uint32_t index, Words... words)
{
    if constexpr (sizeof...(Words) == 0) {
        return __svc_CallDllCommand(index, 0, nullptr);
    } else {
        uint64_t list[] = {static_cast<uint64_t>(words)...};
        return __svc_CallDllCommand(index, sizeof...(Words), list);
    }
}

// Raw DLL argument words for pointers: a text as its address, a byte array
// as the address of its first byte (null for a null array).
inline uint64_t dll_text(const char* text)
{
    return reinterpret_cast<uint64_t>(opaque(text ? text : empty_text()));
}

inline uint64_t dll_bytes(uint8_t* block)
{
    return block ? reinterpret_cast<uint64_t>(opaque(block + 8)) : 0;
}

// --- results and blocks ------------------------------------------------------

inline char* result_text(cu_value v) { return reinterpret_cast<char*>(v.value); }
inline uint8_t* result_bytes(cu_value v) { return reinterpret_cast<uint8_t*>(v.value); }
inline int32_t result_int(cu_value v) { return static_cast<int32_t>(v.value); }

// A general value about to be used as text: anything but a text is runtime
// error 5; the value is used as it came, as the runtime lets it go on.
inline char* checked_text(cu_value v)
{
    if (v.tag != CU_TAG_TEXT) __svc_ReportRuntimeError(CU_ERROR_WRONG_TYPE);
    return result_text(v);
}

// Frees a block when there is one (FreeBlock itself never gets null).
inline void release(const void* block)
{
    if (block) __svc_FreeBlock(const_cast<void*>(block));
}

// A zeroed block for a library object (document or script object).
inline void* new_object_block()
{
    void* block = __svc_AllocateBlock(8);
    __builtin_memset(block, 0, 8);
    return block;
}

// Byte array blocks: u32 1, u32 length, the bytes.
inline uint32_t bytes_length(const uint8_t* block)
{
    if (!block) return 0;
    uint32_t length;
    __builtin_memcpy(&length, block + 4, 4);
    return length;
}

inline uint8_t* bytes_data(uint8_t* block) { return block + 8; }
inline const uint8_t* bytes_data(const uint8_t* block) { return block + 8; }

// --- kernel commands on texts ----------------------------------------------

// 0x13C: n bytes from the 1-based position start.
inline char* text_mid(const char* text, int32_t start, int32_t n)
{
    return result_text(kernel(0x13C, arg_text(text), arg_int(start), arg_int(n)));
}

// 0x150: upper case.
inline char* text_upper(const char* text) { return result_text(kernel(0x150, arg_text(text))); }

// 0x164: the numeric value.
inline double text_to_double(const char* text)
{
    const cu_value v = kernel(0x164, arg_text(text));
    double d;
    __builtin_memcpy(&d, &v.value, sizeof d);
    return d;
}

// 0x168 on a text: a copy.
inline char* text_copy(const char* text) { return result_text(kernel(0x168, arg_text(text))); }

// 0x168 on an integer: its decimal form.
inline char* int_text(int32_t v) { return result_text(kernel(0x168, arg_int(v))); }

// 0x168 on a byte array: its bytes as a text.
inline char* bytes_text(const uint8_t* block) { return result_text(kernel(0x168, arg_bytes(block))); }

// 0x174: the text up to its NUL, as a new text.
inline char* text_trimmed_copy(const char* text) { return result_text(kernel(0x174, arg_text(text))); }

// 0x180: every occurrence of `find` replaced, left to right, exact letter case.
inline char* text_replace(const char* text, const char* find, const char* replacement)
{
    return result_text(kernel(0x180, arg_text(text), arg_text(find), arg_text(replacement), arg_omitted(),
                              arg_omitted(), arg_logical(true)));
}

// 0x180 in full: occurrences of `find` replaced from the 1-based occurrence
// `first` on, at most `limit` of them (an omitted record: all), letter case
// exact or not.
inline char* text_replace_from(const char* text, const char* find, const char* replacement, int32_t first,
                               cu_value limit, bool match_case)
{
    return result_text(kernel(0x180, arg_text(text), arg_text(find), arg_text(replacement), arg_int(first), limit,
                              arg_logical(match_case)));
}

// 0x190: the pieces of a text between separators, as a new one-dimensional
// text array (u32 dimension count, u32 element count, 8-byte text pointers).
inline uint8_t* text_split(const char* text, const char* separator)
{
    return result_bytes(kernel(0x190, arg_text(text), arg_text(separator), arg_omitted()));
}

// 0x184: n blanks (an output buffer).
inline char* blank_text(int32_t n) { return result_text(kernel(0x184, arg_int(n))); }

// 0x1D4: hexadecimal digits without leading zeros.
inline char* hex_text(int32_t v) { return result_text(kernel(0x1D4, arg_int(v))); }

// 0x9DC: the integer value of the leading decimal digits.
inline int32_t text_to_int(const char* text) { return result_int(kernel(0x9DC, arg_text(text))); }

// 0x350: let the runtime process the calling thread's pending events.
inline void process_events() { kernel(0x350); }

// --- kernel commands on byte arrays ----------------------------------------

// 0x194: the length in bytes.
inline int32_t bytes_size(const uint8_t* block) { return result_int(kernel(0x194, arg_bytes(block))); }

// 0x198 on a text: its bytes without the NUL.
inline uint8_t* text_bytes(const char* text) { return result_bytes(kernel(0x198, arg_text(text))); }

// 0x198 on a long integer: its 8 little-endian bytes.
inline uint8_t* long_bytes(int64_t v) { return result_bytes(kernel(0x198, arg_long(v))); }

// 0x19C with type code 10: the bytes up to the first zero as a text, checked
// to be one (runtime error 5 otherwise).
inline char* bytes_read_text(const uint8_t* block)
{
    return checked_text(kernel(0x19C, arg_bytes(block), arg_int(10), arg_omitted()));
}

// 0x1BC: n zero bytes.
inline uint8_t* zero_bytes(int32_t n) { return result_bytes(kernel(0x1BC, arg_int(n))); }

// --- script (automation) objects of the kernel library ---------------------

inline cu_value arg_script_object(void* block) { return arg_object(block, CU_ABS(__ltype_10030)); }

// 0x91C: create the object of the named class in the block.
inline void object_create(void* block, const char* class_name)
{
    kernel(0x91C, arg_script_object(block), arg_text(class_name), arg_omitted());
}

// 0x924: release what the block holds.
inline void object_release(void* block) { kernel(0x924, arg_script_object(block)); }

// 0x948: set a text property.
inline void object_set_property(void* block, const char* name, const char* value)
{
    kernel(0x948, arg_script_object(block), arg_text(name), arg_text(value));
}

// 0x954: call a method with one text argument; its result as text (empty on failure).
inline char* object_call_text(void* block, const char* method, const char* argument)
{
    return result_text(kernel(0x954, arg_script_object(block), arg_text(method), arg_text(argument)));
}

// 0x958: call a method with one text argument, no result.
inline void object_call(void* block, const char* method, const char* argument)
{
    kernel(0x958, arg_script_object(block), arg_text(method), arg_text(argument));
}

}  // namespace prog
