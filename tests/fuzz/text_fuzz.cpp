// Fuzz entry for the answer's text routines inside the built program image,
// loaded once with the real runtime and called by name through the map file:
// PercentDecode (compared with an independent decoder) and DecodeEscapedText
// (which hands the answer to the script engine inside a string literal).
// The first byte picks the routine; the rest, up to its first NUL, is the
// text the routine gets, as image code passes texts.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace {

// The runtime upper-cases escape digits a GBK character at a time, so a
// lower-case letter that is the trail byte of a double-byte character is no
// hex digit to it; the reference decoder upper-cases byte by byte. Where the
// two readings can differ the input is still run, but not compared.
bool lower_hex_letter_after_lead_byte(const std::string& text)
{
    for (std::size_t i = 1; i < text.size(); ++i)
        if (static_cast<unsigned char>(text[i - 1]) >= 0x81 && text[i] >= 'a' && text[i] <= 'f') return true;
    return false;
}

}  // namespace

#include "image_routines.h"
#include "reference.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) return 0;
    const std::string raw(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::string text = raw.substr(0, raw.find('\0'));
    if (data[0] & 1) {
        (void)texttest::decode_escaped(text);
        return 0;
    }
    const std::string decoded = texttest::percent_decode(text);
    if (lower_hex_letter_after_lead_byte(text)) return 0;
    std::string expected = texttest::reference_percent_decode(text);
    expected.resize(expected.find('\0') == std::string::npos ? expected.size() : expected.find('\0'));
    if (decoded != expected) {
        std::fprintf(stderr, "PercentDecode differs from the reference decoder (%zu bytes out, %zu expected)\n",
                     decoded.size(), expected.size());
        __builtin_trap();
    }
    return 0;
}
