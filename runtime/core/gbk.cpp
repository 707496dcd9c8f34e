#include "gbk.h"

#include <unicode/ucnv.h>
#include <unicode/ucnv_err.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <cstdint>
#include <memory>

#include "errors.h"

namespace cu {
namespace {

struct ConverterClose {
    void operator()(UConverter* c) const { ucnv_close(c); }
};

// Notes that a substitution happened (in the bool `context` points at), then
// substitutes as ICU would.
void note_substitution(const void* context, UConverterFromUnicodeArgs* args, const UChar* units, int32_t length,
                       UChar32 code_point, UConverterCallbackReason reason, UErrorCode* status)
{
    if (reason == UCNV_UNASSIGNED || reason == UCNV_ILLEGAL || reason == UCNV_IRREGULAR)
        *static_cast<bool*>(const_cast<void*>(context)) = true;
    UCNV_FROM_U_CALLBACK_SUBSTITUTE(nullptr, args, units, length, code_point, reason, status);
}

// ICU converters are not shared between threads: one per thread, opened on
// first use (opening is cheap once ICU has loaded the table). The flag the
// substitution callback sets lives beside it, so the callback's context is
// never a caller's frame, which a conversion cut short by an exception would
// leave behind for the next one to write through.
struct ThreadConverter {
    std::unique_ptr<UConverter, ConverterClose> converter;
    bool substituted = false;
};

ThreadConverter& gbk_converter()
{
    thread_local ThreadConverter state;
    if (!state.converter) {
        UErrorCode status = U_ZERO_ERROR;
        state.converter.reset(ucnv_open("windows-936-2000", &status));
        if (U_SUCCESS(status) && state.converter)
            ucnv_setFromUCallBack(state.converter.get(), note_substitution, &state.substituted, nullptr, nullptr,
                                  &status);
        if (U_FAILURE(status) || !state.converter)
            fatal(std::string("the GBK code-page converter of ICU is missing: ") + u_errorName(status));
    }
    ucnv_reset(state.converter.get());
    return state;
}

std::int32_t checked_length(std::size_t n)
{
    if (n > static_cast<std::size_t>(INT32_MAX / 4)) fatal("a text too long to convert");
    return static_cast<std::int32_t>(n);
}

// Runs an ICU conversion `convert(dest, capacity, status)`, which returns the
// full length: into `guess` units first (each caller's guess is the most its
// conversion can give), and once more at the full length should it be short.
template <typename Out, typename Convert>
Out converted(std::size_t guess, Convert convert)
{
    guess = std::min<std::size_t>(guess, INT32_MAX / 4);
    Out out(guess, {});
    UErrorCode status = U_ZERO_ERROR;
    std::int32_t length = convert(out.data(), checked_length(guess), &status);
    if (status == U_BUFFER_OVERFLOW_ERROR) {
        out.resize(static_cast<std::size_t>(length));
        status = U_ZERO_ERROR;
        length = convert(out.data(), length, &status);
    }
    if (U_FAILURE(status)) return {};
    out.resize(static_cast<std::size_t>(length));
    return out;
}

// Both code pages agree on the bytes below 0x80, so a text made only of them
// needs no converter.
template <typename Units>
bool all_ascii(Units units)
{
    return std::all_of(units.begin(), units.end(), [](auto u) { return static_cast<std::uint32_t>(u) < 0x80; });
}

bool continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

}  // namespace

std::size_t gbk_to_utf16(std::string_view gbk, char16_t* dest)
{
    if (all_ascii(gbk)) {
        std::copy(gbk.begin(), gbk.end(), dest);
        return gbk.size();
    }
    UErrorCode status = U_ZERO_ERROR;
    const std::int32_t size = checked_length(gbk.size());
    const std::int32_t length = ucnv_toUChars(gbk_converter().converter.get(), dest, size, gbk.data(), size, &status);
    return U_FAILURE(status) ? 0 : static_cast<std::size_t>(length);
}

std::u16string gbk_to_utf16(std::string_view gbk)
{
    std::u16string units(gbk.size(), u'\0');
    units.resize(gbk_to_utf16(gbk, units.data()));
    return units;
}

std::string utf16_to_gbk(std::u16string_view units, char substitute, bool* used_substitute)
{
    bool used = false;
    std::string out;
    if (all_ascii(units)) {
        out.assign(units.begin(), units.end());
    } else {
        ThreadConverter& state = gbk_converter();
        UConverter* c = state.converter.get();
        UErrorCode status = U_ZERO_ERROR;
        ucnv_setSubstChars(c, &substitute, 1, &status);
        state.substituted = false;
        out = converted<std::string>(2 * units.size(), [&](char* dest, std::int32_t capacity, UErrorCode* st) {
            ucnv_reset(c);
            return ucnv_fromUChars(c, dest, capacity, units.data(), checked_length(units.size()), st);
        });
        used = state.substituted;
    }
    if (used_substitute) *used_substitute = used;
    return out;
}

std::u16string utf8_to_utf16(std::string_view utf8)
{
    if (utf8.empty()) return {};
    return converted<std::u16string>(utf8.size(), [&](char16_t* dest, std::int32_t capacity, UErrorCode* status) {
        std::int32_t length = 0;
        u_strFromUTF8WithSub(dest, capacity, &length, utf8.data(), checked_length(utf8.size()), 0xFFFD, nullptr,
                             status);
        return length;
    });
}

std::string utf16_to_utf8(std::u16string_view units)
{
    if (units.empty()) return {};
    return converted<std::string>(3 * units.size(), [&](char* dest, std::int32_t capacity, UErrorCode* status) {
        std::int32_t length = 0;
        u_strToUTF8WithSub(dest, capacity, &length, units.data(), checked_length(units.size()), 0xFFFD, nullptr,
                           status);
        return length;
    });
}

std::u16string cesu8_to_utf16(std::string_view text)
{
    std::u16string out;
    out.reserve(text.size());
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        const unsigned char b = p[i];
        if (b < 0x80) {
            out.push_back(b);
            ++i;
            continue;
        }
        // Expected sequence length and the allowed range of the second byte;
        // ED (surrogates) is allowed: that is what makes it CESU-8.
        std::size_t need = 0;
        unsigned char lo = 0x80, hi = 0xBF;
        if (b >= 0xC2 && b <= 0xDF) need = 2;
        else if (b >= 0xE0 && b <= 0xEF) need = 3, lo = b == 0xE0 ? 0xA0 : 0x80;
        else if (b >= 0xF0 && b <= 0xF4) need = 4, lo = b == 0xF0 ? 0x90 : 0x80, hi = b == 0xF4 ? 0x8F : 0xBF;
        // Length of the valid prefix: an invalid sequence is replaced as one
        // U+FFFD per maximal subpart.
        std::size_t got = need ? 1 : 0;
        while (got && got < need && i + got < n &&
               (got == 1 ? (p[i + 1] >= lo && p[i + 1] <= hi) : continuation(p[i + got])))
            ++got;
        if (!need || got < need) {
            out.push_back(0xFFFD);
            i += got ? got : 1;
            continue;
        }
        char32_t cp = b & (0xFF >> (need + 1));
        for (std::size_t k = 1; k < need; ++k) cp = (cp << 6) | (p[i + k] & 0x3F);
        if (cp > 0xFFFF) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += need;
    }
    return out;
}

std::string utf16_to_cesu8(std::u16string_view units)
{
    std::string out;
    out.reserve(units.size() * 3);
    for (char16_t u : units) {
        if (u < 0x80) {
            out.push_back(static_cast<char>(u));
        } else if (u < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (u >> 6)));
            out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xE0 | (u >> 12)));
            out.push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
        }
    }
    return out;
}

std::string gbk_to_utf8(std::string_view gbk) { return utf16_to_utf8(gbk_to_utf16(gbk)); }
std::string utf8_to_gbk(std::string_view utf8) { return utf16_to_gbk(utf8_to_utf16(utf8)); }

}  // namespace cu
