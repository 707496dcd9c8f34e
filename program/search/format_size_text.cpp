// FormatSizeText: a byte count as decimal digits -> a short size text.
#include "search.h"

#include "program.h"

namespace {

// The leading run of decimal digits as a 64-bit count (blanks before it are
// skipped; no digits reads as 0). A count beyond 64 bits saturates rather than
// wrapping into a small, wrong size.
uint64_t read_byte_count(const char* text)
{
    if (!text) return 0;
    while (*text == ' ' || *text == '\t') ++text;
    uint64_t count = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        const uint64_t digit = static_cast<uint64_t>(*text - '0');
        if (count > (UINT64_MAX - digit) / 10) return UINT64_MAX;
        count = count * 10 + digit;
    }
    return count;
}

}  // namespace

extern "C" char* FormatSizeText(const char* const* size_text)
{
    const uint64_t count = read_byte_count(size_text ? *size_text : nullptr);
    if (count == 0) return const_cast<char*>(prog::empty_text());

    // StrFormatByteSizeA writes into a 255-character buffer; the result is the
    // text up to the NUL it leaves there.
    constexpr int32_t kBufferLength = 255;
    char* buffer = prog::blank_text(kBufferLength);
    prog::dll(CU_ABS(__dll_6), count, prog::dll_text(buffer), kBufferLength);
    char* size = prog::text_trimmed_copy(buffer);
    prog::release(buffer);
    return size;
}
