// Text codecs of the program: percent-encoding of the search keyword with its
// code-page conversions, and decoding of the escaped answer text.
//
// Calling convention (image code, extern "C", called by name through the map
// file by tests): a text or byte array is passed by reference, as the address
// of the caller's variable, and only read; an optional argument is two words,
// its value and a flag that is non-zero when the caller gave it. Every text or
// byte array returned is owned by the caller and freed with FreeBlock
// (UrlEncodeText hands back the literal empty text for an empty input, which
// FreeBlock ignores).
#pragma once
#include <stdint.h>

extern "C" {

// The percent-encoded form of `*text`. With keep_plain set, letters, digits,
// '-' and '.' stay as they are; every other byte becomes %XX (upper-case hex
// digits). With utf8 set the GBK text is encoded as its UTF-8 bytes,
// otherwise as its own bytes. Both flags are clear when omitted.
char* UrlEncodeText(const char* const* text, int32_t keep_plain, int32_t keep_plain_given, int32_t utf8,
                    int32_t utf8_given);

// The UTF-8 bytes of the GBK text `*text`, as a text.
char* GbkToUtf8(const char* const* text);

// The UTF-16 units of `*text` (in `code_page`, 65001 when omitted) with one
// terminating zero unit, as a byte array.
uint8_t* TextToUtf16(const char* const* text, int32_t code_page, int32_t code_page_given);

// The text in `code_page` (0, the system code page, when omitted) of the
// UTF-16 array `*units`, read up to its first zero unit. An array without a
// zero unit gives the empty text: reading on would run past its end.
char* Utf16ToText(const uint8_t* const* units, int32_t code_page, int32_t code_page_given);

// The answer text with its \uXXXX escapes (and %uXXXX / %XX escapes) turned
// into GBK characters by the script engine, or by PercentDecode when the
// engine yields nothing. JSON's own escapes (\" \\ \t \n \r \b \f) come out
// as the answer wrote them, so a JSON answer stays JSON.
char* DecodeEscapedText(const char* const* text);

// The text with %uXXXX escapes (whose digits start with a non-zero decimal
// run) and %XX escapes decoded into GBK; anything else is kept as it is.
char* PercentDecode(const char* const* text);

// The value of a text of hexadecimal digits (either letter case); a character
// outside the digits counts as the digit -2.
int64_t HexTextToNumber(const char* const* text);

// The GBK text of the UTF-16 units in the byte array `*units`, up to the
// first zero unit.
char* UnitToGbkText(const uint8_t* const* units);
}
