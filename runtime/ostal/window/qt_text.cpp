#include "qt_text.h"

#include "gbk.h"

namespace cu::window {

QString from_gbk(std::string_view gbk)
{
    QString text(static_cast<qsizetype>(gbk.size()), Qt::Uninitialized);
    text.truncate(static_cast<qsizetype>(cu::gbk_to_utf16(gbk, reinterpret_cast<char16_t*>(text.data()))));
    return text;
}

QString from_gbk(const char* gbk) { return gbk ? from_gbk(std::string_view(gbk)) : QString(); }

std::string to_gbk(const QString& text)
{
    return cu::utf16_to_gbk(std::u16string_view(reinterpret_cast<const char16_t*>(text.utf16()),
                                                static_cast<std::size_t>(text.size())));
}

}  // namespace cu::window
