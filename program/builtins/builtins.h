// Routines compiled into every image and called directly, without the
// runtime: text length, concatenation and comparison, double-to-integer, and
// the mem* functions the compiler emits calls to. Freestanding.
#pragma once
#include <stddef.h>
#include <stdint.h>

extern "C" {

// Bytes before the NUL; 0 for null. Scans a 32-bit word at a time once aligned.
int32_t TextLength(const char* text);

// A new text holding the `count` (at least 1) texts in order, null counting
// as empty; one AllocateBlock of the total length + 1.
char* ConcatTexts(int32_t count, ...);

// -1, 0 or 1 comparing unsigned bytes; null equals the empty text.
int32_t CompareTexts(const char* a, const char* b);

// Rounds toward zero whatever the rounding mode; the caller's mode is kept.
int64_t DoubleToInteger(double value);

void* memcpy(void* dest, const void* src, size_t n);
void* memmove(void* dest, const void* src, size_t n);
void* memset(void* dest, int c, size_t n);
int memcmp(const void* a, const void* b, size_t n);

// The image's start routine, called by the runtime once the image is loaded.
void cu_start(void);
}
