#include "gbk_text.h"

#include <unicode/ucnv.h>

#include <memory>
#include <vector>

namespace cu::imagebuild {
namespace {

// The converter closest to the system code page 936 among those here.
constexpr const char* kCodePage = "windows-936-2000";

struct ConverterCloser {
    void operator()(UConverter* c) const { ucnv_close(c); }
};
using Converter = std::unique_ptr<UConverter, ConverterCloser>;

Converter open_converter(const char* name, bool strict, UErrorCode& status)
{
    Converter c(ucnv_open(name, &status));
    if (U_SUCCESS(status) && strict) {
        ucnv_setToUCallBack(c.get(), UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
        ucnv_setFromUCallBack(c.get(), UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
    }
    return c;
}

// Converts through UTF-16 between two code pages.
std::optional<std::string> convert(const char* from, const char* to, std::string_view text, bool strict, std::string* error)
{
    UErrorCode status = U_ZERO_ERROR;
    Converter source = open_converter(from, strict, status);
    Converter target = open_converter(to, strict, status);
    if (U_FAILURE(status)) {
        if (error) *error = std::string("cannot open converter: ") + u_errorName(status);
        return std::nullopt;
    }
    std::vector<UChar> wide(text.size() + 1);
    const int32_t wide_length = ucnv_toUChars(source.get(), wide.data(), static_cast<int32_t>(wide.size()), text.data(),
                                              static_cast<int32_t>(text.size()), &status);
    std::string out(4 * static_cast<std::size_t>(wide_length) + 4, '\0');
    const int32_t out_length = U_SUCCESS(status) ? ucnv_fromUChars(target.get(), out.data(), static_cast<int32_t>(out.size()),
                                                                   wide.data(), wide_length, &status)
                                                 : 0;
    if (U_FAILURE(status)) {
        if (error) *error = "\"" + std::string(text) + "\" cannot be stored in " + to + " (" + u_errorName(status) + ")";
        return std::nullopt;
    }
    out.resize(static_cast<std::size_t>(out_length));
    return out;
}

}  // namespace

std::optional<std::string> utf8_to_gbk(std::string_view utf8, std::string* error)
{
    return convert("UTF-8", kCodePage, utf8, true, error);
}

std::string gbk_to_utf8(std::string_view gbk) { return convert(kCodePage, "UTF-8", gbk, false, nullptr).value_or("?"); }

}  // namespace cu::imagebuild
