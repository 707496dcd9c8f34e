#include "utf8.h"

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

std::size_t count_characters(std::string_view utf8)
{
    std::size_t count = 0;
    for (char c : utf8)
        count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return count;
}

}  // namespace cumulo::server
