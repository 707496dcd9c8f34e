// PercentDecode and its helpers inside the built image.
#include <gtest/gtest.h>

#include "image_routines.h"

namespace texttest {
namespace {

struct DecodeCase {
    const char* name;
    std::string text;
    std::string decoded;  // GBK
};

TEST(PercentDecode, EdgeCases)
{
    const DecodeCase cases[] = {
        {"four-digit escape", "%u4E2D", "\xD6\xD0"},               // 中
        {"lower-case digits", "%u4e2d", "\xD6\xD0"},               // 中
        {"leading zeros stay", "%u00E9", "%u00E9"},                // decimal run reads 0
        {"letters first stay", "%uFF0C", "%uFF0C"},
        {"zero unit stays", "%u0000", "%u0000"},
        {"leading decimal run not zero", "%u0041", "A"},
        {"a sign before the digits makes no escape", "%u-123%u+123", "%u-123%u+123"},
        {"two-digit escape", "%41", "A"},
        {"trailing percent", "abc%", "abc%"},
        {"trailing percent and one digit", "abc%4", "abc%4"},
        {"percent sign before nothing", "100%", "100%"},
        {"zero leaves nothing", "a%00b", "ab"},
        {"escaped space in a name", "my%20file", "my file"},
        {"short %u takes the two-digit branch, negative kept", "x%u12", "x%u12"},
        {"negative escape keeps its characters", "%G1", "%G1"},
        {"zero then a non-digit is negative too", "%0Z!", "%0Z!"},
        {"kept percent does not swallow an escape after it", "%%41", "%A"},
        {"digit then non-digit follows the rule", "%1G", "\x0E"},
        {"unit GBK cannot hold", "%u9FFF", "?"},
        {"latin letter GBK holds", "%E9", "\xA8\xA6"},  // é
        {"gbk and backslashes untouched", "\xD6\xD0\\/\\\"", "\xD6\xD0\\/\\\""},
        {"several in a row", "%u4E2D%u6587.txt", "\xD6\xD0\xCE\xC4.txt"},  // 中文.txt
        {"empty", "", ""},
    };
    for (const DecodeCase& c : cases) EXPECT_EQ(percent_decode(c.text), c.decoded) << c.name;
}

TEST(HexTextToNumber, Values)
{
    const std::pair<std::string, std::int64_t> cases[] = {
        {"4E2D", 20013}, {"ff", 255}, {"", 0}, {"0", 0}, {"G", -2}, {"0G", -2}, {"1G", 14}, {"G0", -32},
        {"7FFFFFFFFFFFFFFF", INT64_MAX}, {"FFFFFFFFFFFFFFFF", -1},
    };
    for (const auto& [text, value] : cases) EXPECT_EQ(hex_to_number(text), value) << text;
}

TEST(UnitToGbkText, Units)
{
    EXPECT_EQ(unit_to_gbk(Bytes{0x2D, 0x4E, 0, 0, 0, 0, 0, 0}), "\xD6\xD0");  // eight bytes of 0x4E2D
    EXPECT_EQ(unit_to_gbk(Bytes{0x2D, 0x4E, 0x87, 0x65}), "\xD6\xD0\xCE\xC4");  // no zero unit: all of it
    EXPECT_EQ(unit_to_gbk(Bytes{0x41, 0, 0, 0, 0x42, 0}), "A");                 // up to the first zero
    EXPECT_EQ(unit_to_gbk(Bytes{0x41, 0, 0x42}), "A");                          // an odd byte is no unit
    EXPECT_EQ(unit_to_gbk(Bytes{0, 0, 0, 0, 0, 0, 0, 0}), "");
    EXPECT_EQ(unit_to_gbk(Bytes{}), "");
    EXPECT_EQ(unit_to_gbk(Bytes{0x00, 0xDC, 0, 0}), "?");  // a lone surrogate
}

// A null variable is the empty text (or the empty array) for every routine.
TEST(TextRoutines, NullVariablesReadAsEmpty)
{
    const char* const no_text = nullptr;
    const std::uint8_t* const no_array = nullptr;
    using TextFn = char*(const char* const*);
    using ArrayFn = char*(const std::uint8_t* const*);
    EXPECT_EQ(take_text(routine<char*(const char* const*, int32_t, int32_t, int32_t, int32_t)>("UrlEncodeText")(
                  &no_text, 1, 1, 1, 1)),
              "");
    EXPECT_EQ(take_text(routine<TextFn>("GbkToUtf8")(&no_text)), "");
    EXPECT_EQ(take_bytes(routine<std::uint8_t*(const char* const*, int32_t, int32_t)>("TextToUtf16")(&no_text, 936, 1)),
              (Bytes{0, 0}));
    EXPECT_EQ(take_text(routine<char*(const std::uint8_t* const*, int32_t, int32_t)>("Utf16ToText")(&no_array, 0, 0)),
              "");
    EXPECT_EQ(take_text(routine<TextFn>("DecodeEscapedText")(&no_text)), "");
    EXPECT_EQ(take_text(routine<TextFn>("PercentDecode")(&no_text)), "");
    EXPECT_EQ(routine<std::int64_t(const char* const*)>("HexTextToNumber")(&no_text), 0);
    EXPECT_EQ(take_text(routine<ArrayFn>("UnitToGbkText")(&no_array)), "");
}

}  // namespace
}  // namespace texttest
