// Texts in the system code page (GBK, code page 936, as ICU's
// "windows-936-2000" converter maps it: 0x80 <-> U+20AC) and Unicode.
// One place for every conversion the runtime makes: the platform layer's
// MultiByteToWideChar/WideCharToMultiByte, the script engine's strings and
// the window's texts. Safe on any thread.
#pragma once
#include <string>
#include <string_view>

namespace cu {

// A double-byte GBK character: a lead byte 0x81..0xFE followed by a trail
// byte 0x40..0xFE other than 0x7F. The trail byte may equal an ASCII letter
// or punctuation ('\\', '|', '@', 'A'); inside such a pair it is no character
// of its own, so a byte-wise scan must step over the pair.
constexpr bool is_gbk_pair(unsigned char lead, unsigned char trail)
{
    return lead >= 0x81 && lead <= 0xFE && trail >= 0x40 && trail <= 0xFE && trail != 0x7F;
}

// GBK bytes -> UTF-16. A byte sequence that is not a GBK character (a lone
// lead byte, an unassigned pair) becomes U+FFFD.
std::u16string gbk_to_utf16(std::string_view gbk);
// The same into `dest`, which must have room for gbk.size() units (a GBK text
// never gives more units than it has bytes); the number of units written.
std::size_t gbk_to_utf16(std::string_view gbk, char16_t* dest);

// UTF-16 -> GBK. A character GBK cannot hold (an emoji, a lone surrogate)
// becomes `substitute`; `used_substitute`, when given, tells whether it did.
std::string utf16_to_gbk(std::u16string_view units, char substitute = '?', bool* used_substitute = nullptr);

// UTF-8 -> UTF-16; every maximal invalid subsequence becomes U+FFFD.
std::u16string utf8_to_utf16(std::string_view utf8);

// UTF-16 -> UTF-8; a lone surrogate becomes U+FFFD.
std::string utf16_to_utf8(std::u16string_view units);

// The script engine's strings: CESU-8, where a character beyond U+FFFF is a
// surrogate pair with each half written as a three-byte sequence (and a lone
// surrogate is kept as one). Four-byte UTF-8 sequences are accepted as well;
// anything else invalid becomes U+FFFD.
std::u16string cesu8_to_utf16(std::string_view cesu8);
std::string utf16_to_cesu8(std::u16string_view units);

// Shorthands through UTF-16.
std::string gbk_to_utf8(std::string_view gbk);
std::string utf8_to_gbk(std::string_view utf8);

}  // namespace cu
