// Percent-encoding of the search keyword.
#include "program.h"
#include "text_builder.h"
#include "text_codecs.h"

namespace {

// Letters, digits, '-' and '.' stay as they are when the caller asks to keep
// plain bytes; '/' (between '.' and '0') does not.
bool stays_plain(uint8_t byte)
{
    return (byte >= 0x2D && byte <= 0x39 && byte != 0x2F) || (byte >= 'A' && byte <= 'Z') ||
           (byte >= 'a' && byte <= 'z');
}

// "%" and the byte's two hexadecimal digits from the runtime's
// hexadecimal-text command (upper case; one digit below 0x10, so a "0" goes
// in front).
void append_escape(text::TextBuilder& out, uint8_t byte)
{
    char* digits = prog::hex_text(byte);
    out.append_byte('%');
    if (TextLength(digits) < 2) out.append_byte('0');
    out.append_text(digits);
    prog::release(digits);
}

}  // namespace

extern "C" char* UrlEncodeText(const char* const* text, int32_t keep_plain, int32_t keep_plain_given, int32_t utf8,
                               int32_t utf8_given)
{
    const bool keep = keep_plain_given && keep_plain;
    const bool as_utf8 = utf8_given && utf8;
    if (TextLength(*text) == 0) return const_cast<char*>(prog::empty_text());

    uint8_t* bytes;
    if (as_utf8) {
        char* converted = GbkToUtf8(text);
        bytes = prog::text_bytes(converted);
        prog::release(converted);
    } else {
        bytes = prog::text_bytes(*text);
    }

    text::TextBuilder out;
    const uint32_t count = prog::bytes_length(bytes);
    const uint8_t* data = bytes ? prog::bytes_data(bytes) : nullptr;
    for (uint32_t i = 0; i < count; ++i) {
        if (keep && stays_plain(data[i]))
            out.append_byte(static_cast<char>(data[i]));
        else
            append_escape(out, data[i]);
    }
    prog::release(bytes);
    return out.take();
}
