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
    std::size_t i = 0;
    while (i < utf8.size()) {
        auto c = static_cast<unsigned char>(utf8[i]);
        if (c < 0x80) {
            switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20)
                    append_unit(out, c);
                else
                    out += static_cast<char>(c);
            }
            ++i;
            continue;
        }
        std::uint32_t code_point = 0;
        std::size_t length = decode_utf8(utf8, i, code_point);
        if (length == 0) {
            append_unit(out, 0xFFFD);
            ++i;
        } else if (code_point < 0x10000) {
            append_unit(out, code_point);
            i += length;
        } else {
            code_point -= 0x10000;
            append_unit(out, 0xD800 + (code_point >> 10));
            append_unit(out, 0xDC00 + (code_point & 0x3FF));
            i += length;
        }
    }
    out += '"';
}

}  // namespace cumulo::server
