// UrlEncodeText and the code-page conversions beneath it, inside the built
// image with the real runtime.
#include <gtest/gtest.h>

#include <sstream>

#include "image_routines.h"
#include "reference.h"

namespace texttest {
namespace {

struct EncodeCase {
    const char* name;
    std::string text;  // GBK
    bool keep_plain;
    bool utf8;
    std::string encoded;
};

TEST(UrlEncodeText, EdgeCases)
{
    const EncodeCase cases[] = {
        {"chinese as utf8", "\xD6\xD0\xCE\xC4", true, true, "%E4%B8%AD%E6%96%87"},  // 中文
        {"kept letters and dash", "\xD6\xD0\xCE\xC4 a-b", true, true, "%E4%B8%AD%E6%96%87%20a-b"},
        {"underscore tilde slash plus star escaped", "A-Z_0.9~/+*", true, true, "A-Z%5F0.9%7E%2F%2B%2A"},
        {"gbk bytes when not utf8", "\xD6\xD0", true, false, "%D6%D0"},  // 中
        {"everything escaped when not keeping", "ab", false, true, "%61%62"},
        {"leading zero below 0x10", "\n", true, true, "%0A"},
        {"upper-case digits", "\xFF\xFE", true, false, "%FF%FE"},
        {"empty", "", true, true, ""},
        {"euro sign 0x80 as utf8", "\x80", true, true, "%E2%82%AC"},
    };
    for (const EncodeCase& c : cases) EXPECT_EQ(url_encode(c.text, c.keep_plain, c.utf8), c.encoded) << c.name;
}

TEST(UrlEncodeText, OmittedFlagsCountAsClear)
{
    auto* encode = routine<char*(const char* const*, int32_t, int32_t, int32_t, int32_t)>("UrlEncodeText");
    const char* keyword = "a\xD6\xD0";
    // Values set but not given: both flags clear, so every GBK byte is escaped.
    EXPECT_EQ(take_text(encode(&keyword, 1, 0, 1, 0)), "%61%D6%D0");
}

TEST(UrlEncodeText, EmptyKeywordGivesTheLiteralEmptyText)
{
    auto* encode = routine<char*(const char* const*, int32_t, int32_t, int32_t, int32_t)>("UrlEncodeText");
    const char* null_keyword = nullptr;
    char* result = encode(&null_keyword, 1, 1, 1, 1);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(take_text(result), "");  // freeing the literal is harmless
}

// Random GBK keywords against Python's quote of their UTF-8 form. Python
// keeps '_' and '~' as unreserved characters; this encoder escapes them, so
// the expectation escapes them afterwards (they never occur inside an escape).
TEST(UrlEncodeText, AgreesWithPythonQuote)
{
    const std::string script = R"(
import random, sys, urllib.parse
rng = random.Random(20261210)
pool = [chr(c) for c in range(0x20, 0x7F)] + list('，。“”、！？（）【】')
for _ in range(300):
    s = ''.join(chr(rng.randint(0x4E00, 0x9FA5)) if rng.random() < 0.4 else rng.choice(pool)
                for _ in range(rng.randint(1, 40)))
    expected = urllib.parse.quote(s.encode('utf-8'), safe='-.').replace('_', '%5F').replace('~', '%7E')
    print(s.encode('gbk').hex(), expected)
)";
    std::istringstream lines(run_tool({"python3", "-c", script}, ""));
    std::string hex, expected;
    int count = 0;
    while (lines >> hex >> expected) {
        std::string keyword;
        for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
            keyword += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
        ASSERT_EQ(url_encode(keyword, true, true), expected) << "keyword hex " << hex;
        ++count;
    }
    EXPECT_EQ(count, 300);
}

TEST(CodePages, TextToUtf16)
{
    EXPECT_EQ(text_to_utf16("\xD6\xD0\xCE\xC4", 936), (Bytes{0x2D, 0x4E, 0x87, 0x65, 0, 0}));
    // Omitted code page: UTF-8.
    EXPECT_EQ(text_to_utf16("\xE4\xB8\xAD", -1), (Bytes{0x2D, 0x4E, 0, 0}));
    EXPECT_EQ(text_to_utf16("", 936), (Bytes{0, 0}));
    // Invalid UTF-8 becomes U+FFFD.
    EXPECT_EQ(text_to_utf16("\xFF", 65001), (Bytes{0xFD, 0xFF, 0, 0}));
}

TEST(CodePages, Utf16ToText)
{
    const Bytes zhongwen{0x2D, 0x4E, 0x87, 0x65, 0, 0};
    EXPECT_EQ(utf16_to_text(zhongwen, -1), "\xD6\xD0\xCE\xC4");  // omitted: the system code page, GBK
    EXPECT_EQ(utf16_to_text(zhongwen, 65001), "\xE4\xB8\xAD\xE6\x96\x87");
    // Read only up to the first zero unit.
    EXPECT_EQ(utf16_to_text(Bytes{0x41, 0, 0, 0, 0x42, 0}, 936), "A");
    // No zero unit: nothing is read past the array.
    EXPECT_EQ(utf16_to_text(Bytes{0x41, 0, 0x42, 0}, 936), "");
    EXPECT_EQ(utf16_to_text(Bytes{}, 936), "");
    // What GBK cannot hold becomes '?'.
    EXPECT_EQ(utf16_to_text(Bytes{0x3D, 0xD8, 0, 0}, 936), "?");
}

TEST(CodePages, GbkToUtf8)
{
    EXPECT_EQ(gbk_to_utf8("\xD6\xD0\xCE\xC4"), "\xE4\xB8\xAD\xE6\x96\x87");
    EXPECT_EQ(gbk_to_utf8("a\x80"), "a\xE2\x82\xAC");
    EXPECT_EQ(gbk_to_utf8("\xA1\xAF"), "\xE2\x80\x99");  // ’
    EXPECT_EQ(gbk_to_utf8(""), "");
}

}  // namespace
}  // namespace texttest
