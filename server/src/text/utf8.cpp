#include "text/utf8.h"

namespace cumulo::server {

std::size_t decode_utf8(std::string_view text, std::size_t i, std::uint32_t& code_point)
{
    auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = lead < 0x80 ? 1 : lead >= 0xC2 && lead <= 0xDF ? 2
                       : lead >= 0xE0 && lead <= 0xEF ? 3 : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
    if (length == 0 || text.size() - i < length)
        return 0;
    code_point = length == 1 ? lead : lead & (0x7Fu >> length);
    for (std::size_t k = 1; k < length; ++k) {
        auto next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xC0) != 0x80)
            return 0;
        code_point = (code_point << 6) | (next & 0x3F);
    }
    static constexpr std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code_point < smallest[length] || code_point > 0x10FFFF
        || (code_point >= 0xD800 && code_point <= 0xDFFF))
        return 0;
    return length;
}

bool is_valid_utf8(std::string_view text)
{
    std::uint32_t code_point = 0;
    for (std::size_t i = 0, length = 0; i < text.size(); i += length)
        if ((length = decode_utf8(text, i, code_point)) == 0)
            return false;
    return true;
}

void append_utf8(std::string& text, std::uint32_t code_point)
{
    if (code_point < 0x80) {
        text += static_cast<char>(code_point);
        return;
    }
    int continuation = code_point < 0x800 ? 1 : code_point < 0x10000 ? 2 : 3;
    static constexpr unsigned char lead_bits[] = {0, 0xC0, 0xE0, 0xF0};
    text += static_cast<char>(lead_bits[continuation] | (code_point >> (6 * continuation)));
    for (int k = continuation - 1; k >= 0; --k)
        text += static_cast<char>(0x80 | ((code_point >> (6 * k)) & 0x3F));
}

}  // namespace cumulo::server
