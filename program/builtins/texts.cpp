// Text routines of the image: length, concatenation, comparison.
#include <stdarg.h>

#include "builtins.h"
#include "services.h"

namespace {

// Whole-word reads of texts: an aligned word never crosses a page, so reading
// the bytes after the NUL within it is safe.
typedef uint32_t __attribute__((may_alias)) text_word;
typedef uint32_t __attribute__((may_alias, aligned(1))) unaligned_text_word;

// An unaligned word read stays safe while it does not cross into the next
// page (pages are 4 KiB or larger).
inline bool word_within_page(const void* p) { return (reinterpret_cast<uintptr_t>(p) & 0xFFF) <= 0xFFC; }

// Fires for every word holding a zero byte (and for some holding bytes of
// 0x80 and above, which the byte check then rules out).
inline bool may_hold_zero(uint32_t w) { return ((w + 0x7EFEFEFFu) ^ ~w) & 0x81010100u; }

inline bool aligned(const void* p) { return (reinterpret_cast<uintptr_t>(p) & 3) == 0; }

}  // namespace

extern "C" int32_t TextLength(const char* text)
{
    if (!text) return 0;
    const char* p = text;
    for (; !aligned(p); ++p)
        if (*p == '\0') return static_cast<int32_t>(p - text);
    for (;; p += 4) {
        const uint32_t w = *reinterpret_cast<const text_word*>(p);
        if (!may_hold_zero(w)) continue;
        for (int i = 0; i < 4; ++i)
            if (p[i] == '\0') return static_cast<int32_t>(p + i - text);
    }
}

extern "C" char* ConcatTexts(int32_t count, ...)
{
    va_list pieces;
    va_start(pieces, count);
    uint32_t total = 0;
    for (int32_t i = 0; i < count; ++i) total += static_cast<uint32_t>(TextLength(va_arg(pieces, const char*)));
    va_end(pieces);

    char* result = static_cast<char*>(__svc_AllocateBlock(total + 1));
    char* out = result;
    va_start(pieces, count);
    for (int32_t i = 0; i < count; ++i) {
        const char* piece = va_arg(pieces, const char*);
        const int32_t length = TextLength(piece);
        memcpy(out, piece, static_cast<size_t>(length));
        out += length;
    }
    va_end(pieces);
    *out = '\0';
    return result;
}

extern "C" int32_t CompareTexts(const char* a, const char* b)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(a ? a : "");
    const unsigned char* q = reinterpret_cast<const unsigned char*>(b ? b : "");
    // Bytes one at a time until the first operand is aligned...
    for (; !aligned(p); ++p, ++q) {
        if (*p != *q) return *p < *q ? -1 : 1;
        if (*p == '\0') return 0;
    }
    // ...then four at a time while the words agree and hold no NUL. The
    // second operand may be unaligned: its word is read whole unless that
    // read would cross a page, where it goes byte by byte and stops at the
    // first difference (a NUL in it differs from the first operand's byte).
    for (;; p += 4, q += 4) {
        const uint32_t w = *reinterpret_cast<const text_word*>(p);
        if (!may_hold_zero(w)) {
            if (word_within_page(q) ? *reinterpret_cast<const unaligned_text_word*>(q) == w
                                    : q[0] == p[0] && q[1] == p[1] && q[2] == p[2] && q[3] == p[3])
                continue;
        }
        for (int i = 0; i < 4; ++i) {
            if (p[i] != q[i]) return p[i] < q[i] ? -1 : 1;
            if (p[i] == '\0') return 0;
        }
    }
}
