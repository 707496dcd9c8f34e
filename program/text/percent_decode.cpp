// The built-in decoder of %uXXXX and %XX escapes, used when the script engine
// yields nothing, and its two helpers.
#include "program.h"
#include "text_builder.h"
#include "text_codecs.h"

namespace {

constexpr int32_t kGbk = 936;
constexpr uint64_t kCompositeCheck = 0x200;

// The GBK text of one decoded value: its eight little-endian bytes read as
// four UTF-16 units, so a value up to 0xFFFF is one unit and three zeros.
char* decoded_value_text(int64_t value)
{
    uint8_t* units = prog::long_bytes(value);
    char* text = UnitToGbkText(&units);
    prog::release(units);
    return text;
}

// The digits of one escape as a text of their own. A copy on the stack, not
// a text command on the rest of the input, which would measure all of it for
// every escape and make decoding quadratic.
struct EscapeDigits {
    EscapeDigits(const char* digits, int32_t count)
    {
        for (int32_t i = 0; i < count; ++i) text[i] = digits[i];
        text[count] = '\0';
    }
    char text[5];
};

// Appends the decoded escape of `count` digits at `digits` and reports true,
// or reports false when the value comes out negative: such an escape is no
// escape (its first digit is not hexadecimal, or it is 0 and the second is
// not), and its characters are kept as they are.
bool append_decoded(text::TextBuilder& out, const char* digits, int32_t count)
{
    EscapeDigits piece(digits, count);
    const char* piece_text = piece.text;
    const int64_t value = HexTextToNumber(&piece_text);
    if (value < 0) return false;
    char* decoded = decoded_value_text(value);
    out.append_text(decoded);
    prog::release(decoded);
    return true;
}

// A four-digit escape is decoded only when its digits begin with a run of
// decimal digits whose value is not zero (so %u00E9 and %uFF0C stay).
bool leading_decimal_nonzero(const char* digits)
{
    const EscapeDigits piece(digits, 4);
    return prog::text_to_int(piece.text) != 0;
}

}  // namespace

extern "C" char* PercentDecode(const char* const* text)
{
    const char* in = *text ? *text : "";
    const uint32_t length = TextLength(in);
    text::TextBuilder out;
    uint32_t i = 0;  // 0-based; the byte at i is the description's position i + 1
    while (i < length) {
        if (in[i] != '%') {
            out.append_byte(in[i]);
            i += 1;
        } else if (in[i + 1] == 'u' && i + 6 <= length) {
            if (leading_decimal_nonzero(in + i + 2) && append_decoded(out, in + i + 2, 4)) {
                i += 6;
            } else {
                out.append_byte('%');
                i += 1;
            }
        } else if (i + 3 <= length) {
            if (append_decoded(out, in + i + 1, 2)) {
                i += 3;
            } else {
                out.append_byte('%');
                i += 1;
            }
        } else {
            out.append_byte('%');
            i += 1;
        }
        prog::process_events();
    }
    return out.take();
}

extern "C" int64_t HexTextToNumber(const char* const* text)
{
    char* upper = prog::text_upper(*text);
    // Unsigned arithmetic wraps like the 64-bit register it stands for.
    uint64_t value = 0;
    for (const char* p = upper; p && *p; ++p) {
        const char c = *p;
        int64_t digit = -2;  // not in "0123456789ABCDEF": position -1, less one
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        value = value * 16 + static_cast<uint64_t>(digit);
    }
    prog::release(upper);
    return static_cast<int64_t>(value);
}

extern "C" char* UnitToGbkText(const uint8_t* const* units)
{
    uint8_t* source = const_cast<uint8_t*>(*units);
    const int32_t count = prog::bytes_size(source) / 2;
    const auto size = static_cast<int32_t>(prog::dll(CU_ABS(__dll_3), kGbk, kCompositeCheck,
                                                     prog::dll_bytes(source), count, 0, 0, 0, 0));
    uint8_t* converted = prog::zero_bytes(size > 0 ? size : 0);
    if (size > 0)
        prog::dll(CU_ABS(__dll_4), kGbk, kCompositeCheck, prog::dll_bytes(source), count,
                  prog::dll_bytes(converted), size, 0, 0);
    char* result = prog::bytes_read_text(converted);
    prog::release(converted);
    return result;
}
