#include "text/json_text.h"

#include <gtest/gtest.h>

namespace cumulo::server {
namespace {

TEST(JsonText, EscapesToPureAscii)
{
    const std::pair<std::string, std::string> cases[] = {
        {"plain file.txt", R"("plain file.txt")"},
        {"say \"hi\" \\ there", R"("say \"hi\" \\ there")"},
        {"tab\there\nline\rcr\b\f", R"("tab\there\nline\rcr\b\f")"},
        {std::string("nul\0x\x1f\x7f", 7), "\"nul\\ufffdx\\u001f\x7f\""},  // NUL is shown as on the pages
        {"中文", R"("\u4e2d\u6587")"},
        {"é", R"("\u00e9")"},
        {"€", R"("\u20ac")"},
        {"𠮷", R"("\ud842\udfb7")"},                 // beyond the BMP: a surrogate pair
        {"🎬x", R"("\ud83c\udfacx")"},
        {"\xEF\xBF\xBF", R"("\uffff")"},
        {"bad\xFF" "byte", R"("bad\ufffdbyte")"},
        {"\xE4\xB8", R"("\ufffd\ufffd")"},           // a cut-off character
        {"\xED\xA0\x80", R"("\ufffd\ufffd\ufffd")"}, // an encoded surrogate is not UTF-8
        {"", R"("")"},
    };
    for (const auto& [input, expected] : cases) {
        std::string out;
        append_json_string(out, input);
        EXPECT_EQ(out, expected);
    }
}

}  // namespace
}  // namespace cumulo::server
