#include "pages/html_text.h"

#include "byte_size_text.h"
#include "text/utf8.h"

namespace cumulo::server {

std::string html_escaped(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for_each_shown_character(text, [&out](std::uint32_t code_point) {
        switch (code_point) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: append_utf8(out, code_point);
        }
    });
    return out;
}

std::string query_encoded(std::string_view text)
{
    static constexpr std::string_view hex = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        bool plain = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9')
                     || byte == '-' || byte == '.' || byte == '_' || byte == '~';
        if (plain) {
            out += c;
        } else {
            out += '%';
            out += hex[byte >> 4];
            out += hex[byte & 15];
        }
    }
    return out;
}

std::string size_text(std::uint64_t bytes)
{
    return bytes == 0 ? std::string() : cu::platform::byte_size_text(bytes);
}

std::string share_path(const Share& share)
{
    if (share.shareid != 0)
        return "/share/link?uk=" + std::to_string(share.uk) + "&shareid=" + std::to_string(share.shareid);
    return "/s/" + query_encoded(share.code);
}

std::string_view chinese_type_word(ShareType type)
{
    switch (type) {
    case ShareType::album: return "相册";
    case ShareType::file: return "文件";
    case ShareType::folder: return "文件夹";
    }
    return "文件";
}

}  // namespace cumulo::server
