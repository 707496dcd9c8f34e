#include "text/json_text.h"

#include "text/utf8.h"

#include <cstdint>

namespace cumulo::server {

namespace {

void append_unit(std::string& out, std::uint32_t unit)
{
    static constexpr char hex[] = "0123456789abcdef";
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4)
        out += hex[(unit >> shift) & 0xF];
}

}  // namespace

void append_json_string(std::string& out, std::string_view utf8)
{
    out += '"';
    for_each_shown_character(utf8, [&out](std::uint32_t code_point) {
        switch (code_point) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (code_point < 0x20) {
                append_unit(out, code_point);
            } else if (code_point < 0x80) {
                out += static_cast<char>(code_point);
            } else if (code_point < 0x10000) {
                append_unit(out, code_point);
            } else {
                code_point -= 0x10000;
                append_unit(out, 0xD800 + (code_point >> 10));
                append_unit(out, 0xDC00 + (code_point & 0x3FF));
            }
        }
    });
    out += '"';
}

}  // namespace cumulo::server
