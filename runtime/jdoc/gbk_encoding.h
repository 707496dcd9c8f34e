// The JSON parser's character encoding for GBK texts: characters inside
// strings are copied as they are (nothing is refused, so GBK passes
// unchanged), and a \uXXXX escape is written as the GBK form of its character
// ('?' when GBK cannot hold it), so every string the parser produces is GBK.
// The parser runs with encoding validation so that it hands every character
// to Validate, which copies a double-byte character whole: its trail byte may
// be 0x5C (運 is DF 5C), which is then no backslash.
#pragma once
#include <string>

#include "gbk.h"

namespace cu::jdoc {

struct GbkEncoding {
    using Ch = char;
    enum { supportUnicode = 1 };

    template <typename OutputStream>
    static void Encode(OutputStream& os, unsigned code_point)
    {
        std::u16string units;
        if (code_point > 0xFFFF) {
            code_point -= 0x10000;
            units = {static_cast<char16_t>(0xD800 + (code_point >> 10)), static_cast<char16_t>(0xDC00 + (code_point & 0x3FF))};
        } else {
            units = {static_cast<char16_t>(code_point)};
        }
        for (char byte : utf16_to_gbk(units)) os.Put(byte);
    }

    // Byte-wise: the parser and writer only copy code units of this encoding.
    template <typename InputStream>
    static bool Decode(InputStream& is, unsigned* code_point)
    {
        *code_point = static_cast<unsigned char>(is.Take());
        return true;
    }

    // One character: a lead byte and its trail byte, or one byte.
    template <typename InputStream, typename OutputStream>
    static bool Validate(InputStream& is, OutputStream& os)
    {
        const Ch first = is.Take();
        os.Put(first);
        if (is_gbk_pair(static_cast<unsigned char>(first), static_cast<unsigned char>(is.Peek()))) os.Put(is.Take());
        return true;
    }
};

}  // namespace cu::jdoc
