// Texts between the program's code page (GBK) and the window's QString.
#pragma once
#include <QString>
#include <string>
#include <string_view>

namespace cu::window {

QString from_gbk(std::string_view gbk);
// A text pointer as the program passes it: null reads as the empty text.
QString from_gbk(const char* gbk);
// Characters GBK cannot hold become '?'.
std::string to_gbk(const QString& text);

}  // namespace cu::window
