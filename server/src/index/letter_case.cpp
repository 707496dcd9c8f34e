#include "index/letter_case.h"

#include "text/utf8.h"

#include <unicode/uchar.h>

namespace cumulo::server {

void fold_case(std::string_view utf8, std::string& folded, std::vector<std::uint32_t>& characters)
{
    constexpr std::uint32_t replacement = 0xFFFD;
    for (std::size_t i = 0; i < utf8.size();) {
        std::uint32_t character = replacement;
        std::size_t length = decode_utf8(utf8, i, character);
        if (length == 0) {
            character = replacement;
            length = 1;
        }
        i += length;
        auto lower = static_cast<std::uint32_t>(u_foldCase(static_cast<UChar32>(character), U_FOLD_CASE_DEFAULT));
        characters.push_back(lower);
        append_utf8(folded, lower);
    }
}

}  // namespace cumulo::server
