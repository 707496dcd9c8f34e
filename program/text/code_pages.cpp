// Code-page conversions through the declared Windows functions, each with the
// two-call pattern: ask for the size, then convert into a buffer of that size.
#include "program.h"
#include "text_codecs.h"

namespace {

constexpr int32_t kGbk = 936;
constexpr int32_t kUtf8 = 65001;
constexpr int64_t kUpToTerminator = -1;  // the source is read up to and including its zero

// True when the UTF-16 array holds a zero unit within its length.
bool has_zero_unit(const uint8_t* block)
{
    const uint32_t units = prog::bytes_length(block) / 2;
    const uint8_t* data = prog::bytes_data(block);
    for (uint32_t i = 0; i < units; ++i)
        if (data[2 * i] == 0 && data[2 * i + 1] == 0) return true;
    return false;
}

}  // namespace

extern "C" uint8_t* TextToUtf16(const char* const* text, int32_t code_page, int32_t code_page_given)
{
    const int32_t page = code_page_given ? code_page : kUtf8;
    const auto units = static_cast<int32_t>(
        prog::dll(CU_ABS(__dll_0), page, 0, prog::dll_text(*text), kUpToTerminator, 0, 0));
    if (units <= 0) return prog::zero_bytes(0);

    uint8_t* array = prog::zero_bytes(2 * units);
    prog::dll(CU_ABS(__dll_0), page, 0, prog::dll_text(*text), kUpToTerminator, prog::dll_bytes(array), units);
    return array;
}

extern "C" char* Utf16ToText(const uint8_t* const* units, int32_t code_page, int32_t code_page_given)
{
    const int32_t page = code_page_given ? code_page : 0;
    uint8_t* array = const_cast<uint8_t*>(*units);
    if (!array || !has_zero_unit(array)) return prog::text_copy(nullptr);

    const auto size = static_cast<int32_t>(
        prog::dll(CU_ABS(__dll_1), page, 0, prog::dll_bytes(array), kUpToTerminator, 0, 0, 0, 0));
    if (size <= 0) return prog::text_copy(nullptr);

    char* buffer = prog::blank_text(2 * size);
    prog::dll(CU_ABS(__dll_1), page, 0, prog::dll_bytes(array), kUpToTerminator, prog::dll_text(buffer),
              2 * size, 0, 0);
    char* result = prog::text_copy(buffer);  // up to the zero the conversion wrote
    prog::release(buffer);
    return result;
}

extern "C" char* GbkToUtf8(const char* const* text)
{
    uint8_t* units = TextToUtf16(text, kGbk, 1);
    char* result = Utf16ToText(&units, kUtf8, 1);
    prog::release(units);
    return result;
}
