// MultiByteToWideChar and WideCharToMultiByte for code pages 936 (GBK), 0
// (the system code page, 936) and 65001 (UTF-8), with the Windows calling
// pattern: a capacity of 0 asks for the size, a source length of -1 reads up
// to and including the terminating zero, and 0 means failure (an unsupported
// code page, a bad length or a destination too small, which is left untouched).
#include <cstring>
#include <string>

#include "gbk.h"
#include "platform_calls.h"

namespace cu::platform {
namespace {

enum class CodePage { gbk, utf8, unsupported };

CodePage code_page(std::uint64_t word)
{
    switch (static_cast<std::uint32_t>(word)) {
    case 0:
    case 936: return CodePage::gbk;
    case 65001: return CodePage::utf8;
    default: return CodePage::unsupported;
    }
}

// The 32-bit signed integer a word carries (-1 may come sign- or zero-extended).
std::int32_t int_word(std::uint64_t word) { return static_cast<std::int32_t>(static_cast<std::uint32_t>(word)); }

template <typename T>
T* pointer_word(std::uint64_t word)
{
    return reinterpret_cast<T*>(static_cast<std::uintptr_t>(word));
}

// Source length: -1 counts up to and including the terminator; 0 or below -1 is invalid.
template <typename Unit>
std::size_t source_length(const Unit* source, std::int32_t length)
{
    if (length > 0) return static_cast<std::size_t>(length);
    if (length != -1) return 0;
    std::size_t n = 0;
    while (source[n] != 0) ++n;
    return n + 1;
}

// Copies the converted units out, or tells their number when `capacity` is 0.
template <typename Unit>
std::uint64_t deliver(const std::basic_string<Unit>& converted, Unit* destination, std::int32_t capacity)
{
    if (converted.empty() || capacity < 0) return 0;
    if (capacity == 0) return converted.size();
    if (!destination || converted.size() > static_cast<std::size_t>(capacity)) return 0;
    std::memcpy(destination, converted.data(), converted.size() * sizeof(Unit));
    return converted.size();
}

}  // namespace

std::uint64_t multi_byte_to_wide_char(const std::uint64_t* args)
{
    try {
        const CodePage page = code_page(args[0]);
        const auto* source = pointer_word<const char>(args[2]);
        if (page == CodePage::unsupported || !source) return 0;
        const std::string_view bytes(source, source_length(source, int_word(args[3])));
        const std::u16string units = page == CodePage::gbk ? gbk_to_utf16(bytes) : utf8_to_utf16(bytes);
        return deliver(units, pointer_word<char16_t>(args[4]), int_word(args[5]));
    } catch (...) {
        return 0;
    }
}

std::uint64_t wide_char_to_multi_byte(const std::uint64_t* args)
{
    try {
        const CodePage page = code_page(args[0]);
        const auto* source = pointer_word<const char16_t>(args[2]);
        const auto* default_char = pointer_word<const char>(args[6]);
        auto* used_default = pointer_word<std::int32_t>(args[7]);
        if (page == CodePage::unsupported || !source) return 0;
        // UTF-8 can hold every character: Windows refuses a default character there.
        if (page == CodePage::utf8 && (default_char || used_default)) return 0;
        const std::u16string_view units(source, source_length(source, int_word(args[3])));
        bool used = false;
        const std::string bytes =
            page == CodePage::gbk ? utf16_to_gbk(units, default_char ? *default_char : '?', &used) : utf16_to_utf8(units);
        const std::uint64_t result = deliver(bytes, pointer_word<char>(args[4]), int_word(args[5]));
        if (used_default && result) *used_default = used ? 1 : 0;
        return result;
    } catch (...) {
        return 0;
    }
}

}  // namespace cu::platform
