#include "qt_text.h"

#include "gbk.h"

namespace cu::window {

QString from_gbk(std::string_view gbk)
{
    const std::u16string units = cu::gbk_to_utf16(gbk);
    return QString::fromUtf16(units.data(), static_cast<qsizetype>(units.size()));
}

QString from_gbk(const char* gbk) { return gbk ? from_gbk(std::string_view(gbk)) : QString(); }

std::string to_gbk(const QString& text)
{
    return cu::utf16_to_gbk(std::u16string_view(reinterpret_cast<const char16_t*>(text.utf16()),
                                                static_cast<std::size_t>(text.size())));
}

}  // namespace cu::window
