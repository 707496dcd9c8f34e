// The mem* functions the compiler emits calls to, even in freestanding code.
// String instructions keep the compiler from recognising a copy loop and
// turning it back into a call of the very function being defined.
#pragma GCC optimize("no-tree-loop-distribute-patterns")
#include "builtins.h"

extern "C" void* memcpy(void* dest, const void* src, size_t n)
{
    void* d = dest;
    asm volatile("rep movsb" : "+D"(d), "+S"(src), "+c"(n) : : "memory");
    return dest;
}

extern "C" void* memmove(void* dest, const void* src, size_t n)
{
    const auto d = reinterpret_cast<uintptr_t>(dest);
    const auto s = reinterpret_cast<uintptr_t>(src);
    if (d - s >= n) return memcpy(dest, src, n);  // no overlap that a forward copy would spoil
    // Copy backward from the last byte.
    void* dl = static_cast<char*>(dest) + n - 1;
    const void* sl = static_cast<const char*>(src) + n - 1;
    asm volatile("std\n\trep movsb\n\tcld" : "+D"(dl), "+S"(sl), "+c"(n) : : "memory");
    return dest;
}

extern "C" void* memset(void* dest, int c, size_t n)
{
    void* d = dest;
    asm volatile("rep stosb" : "+D"(d), "+c"(n) : "a"(c) : "memory");
    return dest;
}

extern "C" int memcmp(const void* a, const void* b, size_t n)
{
    const auto* p = static_cast<const unsigned char*>(a);
    const auto* q = static_cast<const unsigned char*>(b);
    for (size_t i = 0; i < n; ++i)
        if (p[i] != q[i]) return p[i] < q[i] ? -1 : 1;
    return 0;
}
