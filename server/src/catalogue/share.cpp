#include "catalogue/share.h"

#include "text/utf8.h"

namespace cumulo::server {

std::string_view type_word(ShareType type)
{
    switch (type) {
    case ShareType::album: return "album";
    case ShareType::file: return "file";
    case ShareType::folder: return "folder";
    }
    return "file";
}

std::optional<ShareType> type_from_word(std::string_view word)
{
    for (ShareType type : {ShareType::album, ShareType::file, ShareType::folder})
        if (word == type_word(type))
            return type;
    return std::nullopt;
}

std::string id_and_owner(const Share& share)
{
    std::string id = share.shareid != 0 ? std::to_string(share.shareid) : share.code;
    return id + '|' + std::to_string(share.uk);
}

bool is_valid_code(std::string_view code)
{
    if (code.empty() || code.size() > max_code_bytes || (code[0] >= '0' && code[0] <= '9'))
        return false;
    for (char c : code) {
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
                     || c == '-' || c == '_';
        if (!plain)
            return false;
    }
    return true;
}

std::string share_problem(const Share& share)
{
    if (share.name.empty())
        return "name is empty";
    if (share.name.size() > max_name_bytes)
        return "name is longer than " + std::to_string(max_name_bytes) + " bytes";
    if (share.name.find('\0') != std::string::npos)
        return "name contains a NUL character";
    if (!is_valid_utf8(share.name))
        return "name is not UTF-8";
    if (share.size > max_stored_number)
        return "size is too large";
    if ((share.shareid != 0) == !share.code.empty())
        return "a share needs exactly one of shareid and code";
    if (share.shareid > max_stored_number)
        return "shareid is too large";
    if (share.shareid == 0 && !is_valid_code(share.code))
        return "code must be letters, digits, '-' or '_' (at most 64, not starting with a digit)";
    if (share.uk == 0 || share.uk > max_stored_number)
        return "uk must be a positive number";
    return {};
}

}  // namespace cumulo::server
