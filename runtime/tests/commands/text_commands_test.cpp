#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include <sys/mman.h>
#include <unistd.h>

#include "command_harness.h"
#include "kernel_modules.h"

using namespace cu::test;

namespace {

const auto texts = cu::kernel::text_commands();

std::string text_call(std::uint32_t number, std::vector<cu_value> args) { return take_text(call(texts, number, args)); }
std::string bytes_call(std::uint32_t number, std::vector<cu_value> args) { return take_bytes(call(texts, number, args)); }

// GBK 中文 (D6D0 CEC4). Below, 0x81 0x66 is one double-byte character whose
// trail byte happens to be the letter 'f'.
const char* const zhong_wen = "\xD6\xD0\xCE\xC4";

TEST(TextCommands, LengthCountsBytes)
{
    EXPECT_EQ(as_int(call(texts, 0x130, {text("")})), 0);
    EXPECT_EQ(as_int(call(texts, 0x130, {text(zhong_wen)})), 4);
}

TEST(TextCommands, LeftAndMidClampToTheText)
{
    struct Case { std::uint32_t cmd; std::vector<cu_value> args; std::string expected; };
    const Case cases[] = {
        {0x134, {text("abcdef"), integer(3)}, "abc"},
        {0x134, {text("abc"), integer(10)}, "abc"},
        {0x134, {text("abc"), integer(-2)}, ""},
        {0x13C, {text("abcdef"), integer(2), integer(3)}, "bcd"},
        {0x13C, {text("abcdef"), integer(5), integer(10)}, "ef"},
        {0x13C, {text("abcdef"), integer(0), integer(2)}, "ab"},
        {0x13C, {text("abcdef"), integer(7), integer(2)}, ""},
        {0x13C, {text("abcdef"), integer(99), integer(2)}, ""},
        {0x13C, {text("abcdef"), integer(2), integer(-1)}, ""},
        {0x13C, {text(zhong_wen), integer(3), integer(2)}, "\xCE\xC4"},
    };
    for (const Case& c : cases) EXPECT_EQ(text_call(c.cmd, c.args), c.expected) << std::hex << c.cmd;
}

// Left and mid take their bytes without measuring the rest of the text: a
// text that runs up to an unreadable page (no NUL in reach) still works.
TEST(TextCommands, LeftAndMidReadNoFurtherThanTheyNeed)
{
    const long page = sysconf(_SC_PAGESIZE);
    auto* area = static_cast<char*>(mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(area, MAP_FAILED);
    ASSERT_EQ(mprotect(area + page, page, PROT_NONE), 0);
    char* unterminated = area + page - 6;
    std::memcpy(unterminated, "abcdef", 6);
    EXPECT_EQ(text_call(0x134, {text(unterminated), integer(6)}), "abcdef");
    EXPECT_EQ(text_call(0x13C, {text(unterminated), integer(3), integer(4)}), "cdef");
    munmap(area, 2 * page);
}

TEST(TextCommands, ByteTextHoldsOneByte)
{
    EXPECT_EQ(text_call(0x140, {byte('A')}), "A");
    EXPECT_EQ(text_call(0x140, {byte(0xD6)}), "\xD6");
    EXPECT_EQ(text_call(0x140, {byte(0)}), "");
}

TEST(TextCommands, FindGivesOneBasedPositionOrMinusOne)
{
    struct Case { const char* haystack; const char* needle; bool ignore_case; std::int32_t expected; };
    const Case cases[] = {
        {"abcabc", "ca", false, 3},
        {"abc", "abc", false, 1},
        {"abc", "x", false, -1},
        {"abc", "", false, -1},
        {"", "a", false, -1},
        {"ABC", "b", false, -1},
        {"ABC", "b", true, 2},
        // Never inside a double-byte character: D0 CE straddles 中 and 文.
        {zhong_wen, "\xD0\xCE", false, -1},
        {zhong_wen, "\xCE\xC4", false, 3},
        // 'f' as a trail byte is not the letter f.
        {"\x81\x66" "f", "f", false, 3},
        {"\x81\x66", "F", true, -1},
        // The same behind runs of ASCII longer than a word, which the walk to
        // a candidate steps over eight bytes at a time.
        {"abcdeghi\x81\x66" "f", "f", false, 11},
        {"abcdefghijklmno\x81\x66" "ile", "file", false, -1},
        {"abcdefghijklmno\xD6\xD0" "file", "file", false, 18},
    };
    for (const Case& c : cases)
        EXPECT_EQ(as_int(call(texts, 0x148, {text(c.haystack), text(c.needle), omitted(), logical(c.ignore_case)})),
                  c.expected)
            << c.haystack << " / " << c.needle;
}

TEST(TextCommands, UpperCaseTouchesAsciiLettersOnly)
{
    EXPECT_EQ(text_call(0x150, {text("abc-XYZ_09z")}), "ABC-XYZ_09Z");
    // 0x81 0x61 is one character: its trail byte 'a' stays.
    EXPECT_EQ(text_call(0x150, {text("a\x81\x61" "b")}), "A\x81\x61" "B");
    // A lone lead byte before a letter that cannot be a trail byte... 0x81 0x3F: '?' is no trail byte.
    EXPECT_EQ(text_call(0x150, {text("\x81?a")}), "\x81?A");
    EXPECT_EQ(text_call(0x150, {text(zhong_wen)}), zhong_wen);
    EXPECT_EQ(text_call(0x150, {text("\xFFz")}), "\xFFZ") << "0xFF is no lead byte";
}

TEST(TextCommands, NumericValueReadsTheLeadingNumber)
{
    struct Case { const char* t; double expected; };
    const Case cases[] = {
        {"42", 42}, {"-3.5", -3.5}, {"  +7", 7}, {"1.5e3x", 1500}, {"12abc", 12},
        {"abc", 0}, {"", 0}, {"0x1A", 0}, {"inf", 0}, {".5", 0.5}, {"-", 0},
    };
    for (const Case& c : cases) {
        const cu_value v = call(texts, 0x164, {text(c.t)});
        EXPECT_EQ(v.tag, CU_TAG_DOUBLE);
        double d;
        std::memcpy(&d, &v.value, sizeof d);
        EXPECT_DOUBLE_EQ(d, c.expected) << c.t;
    }
}

TEST(TextCommands, IntegerValueIsTheLeadingDecimalRun)
{
    struct Case { const char* t; std::int32_t expected; };
    const Case cases[] = {
        {"20013", 20013}, {"4E2D", 4}, {"00E9", 0}, {"FF0C", 0}, {"-12x", -12}, {"", 0},
        {"99999999999", 2147483647}, {"-99999999999", -2147483647 - 1}, {" 8", 8},
    };
    for (const Case& c : cases) EXPECT_EQ(as_int(call(texts, 0x9DC, {text(c.t)})), c.expected) << c.t;
}

TEST(TextCommands, ValueToText)
{
    ByteArray with_nul(std::string("ab\0cd", 5));
    EXPECT_EQ(text_call(0x168, {with_nul.record()}), "ab");
    ByteArray plain("\xD6\xD0");
    EXPECT_EQ(text_call(0x168, {plain.record()}), "\xD6\xD0");
    EXPECT_EQ(text_call(0x168, {text("copy")}), "copy");
    EXPECT_EQ(text_call(0x168, {integer(-2147483647 - 1)}), "-2147483648");
    EXPECT_EQ(text_call(0x168, {integer(200)}), "200");
    EXPECT_EQ(text_call(0x168, {long_integer(5368709120)}), "5368709120");
    EXPECT_EQ(text_call(0x174, {text("buffer")}), "buffer");
}

TEST(TextCommands, ReplaceLeftToRightWithStartAndCount)
{
    struct Case {
        const char* t; const char* find; const char* repl; cu_value start; cu_value count; bool exact;
        std::string expected;
    };
    const Case cases[] = {
        {"a file, a file", "file", "\xCE\xC4\xBC\xFE", omitted(), omitted(), true, "a \xCE\xC4\xBC\xFE, a \xCE\xC4\xBC\xFE"},
        {"aaa", "a", "aa", omitted(), omitted(), true, "aaaaaa"},
        {"aaaa", "aa", "b", omitted(), omitted(), true, "bb"},
        {"abcabc", "abc", "x", integer(2), omitted(), true, "abcx"},
        {"abcabc", "abc", "x", integer(0), omitted(), true, "xx"},
        {"abcabc", "abc", "x", integer(99), omitted(), true, "abcabc"},
        {"ababab", "ab", "", omitted(), integer(2), true, "ab"},
        {"ababab", "ab", "x", omitted(), integer(0), true, "ababab"},
        {"text", "", "x", omitted(), omitted(), true, "text"},
        {"File file", "file", "F", omitted(), omitted(), true, "File F"},
        {"File file", "file", "F", omitted(), omitted(), false, "F F"},
        // A double-byte character with 'f' as its trail byte is left alone.
        {"\x81\x66ile file", "file", "X", omitted(), omitted(), true, "\x81\x66ile X"},
        {"\r\n\r\n", "\r\n", "{$}", omitted(), omitted(), true, "{$}{$}"},
        {"it's", "'", "\xA1\xAF", omitted(), omitted(), true, "it\xA1\xAFs"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(text_call(0x180, {text(c.t), text(c.find), text(c.repl), c.start, c.count, logical(c.exact)}),
                  c.expected)
            << c.t << " / " << c.find;
}

TEST(TextCommands, BlankText)
{
    EXPECT_EQ(text_call(0x184, {integer(3)}), "   ");
    EXPECT_EQ(text_call(0x184, {integer(0)}), "");
    EXPECT_EQ(text_call(0x184, {integer(-5)}), "");
}

std::vector<std::string> split(const char* t, const char* delimiter, cu_value cap = omitted())
{
    const cu_value v = call(texts, 0x190, {text(t), text(delimiter), cap});
    auto* block = reinterpret_cast<std::uint8_t*>(v.value);
    std::uint32_t head[2];
    std::memcpy(head, block, 8);
    EXPECT_EQ(head[0], 1u);
    std::vector<std::string> pieces;
    for (std::uint32_t i = 0; i < head[1]; ++i) {
        char* piece;
        std::memcpy(&piece, block + 8 + 8 * i, 8);
        pieces.emplace_back(piece);
        cu::free_block(piece);
    }
    cu::free_block(block);
    return pieces;
}

TEST(TextCommands, SplitGivesPiecesInOrder)
{
    using V = std::vector<std::string>;
    EXPECT_EQ(split("a,b,,c", ","), (V{"a", "b", "", "c"}));
    EXPECT_EQ(split("a,b,", ","), (V{"a", "b", ""}));
    EXPECT_EQ(split("abc", ","), (V{"abc"}));
    EXPECT_EQ(split("abc", ""), (V{"abc"}));
    EXPECT_EQ(split("", ","), V{});
    EXPECT_EQ(split("a<>b<>c", "<>"), (V{"a", "b", "c"}));
    EXPECT_EQ(split("a,b,c", ",", integer(2)), (V{"a", "b"}));
    EXPECT_EQ(split("\x81\x66" "f", "f"), (V{"\x81\x66", ""}));
}

TEST(ByteArrayCommands, LengthLeftZeroes)
{
    ByteArray b(std::string("a\0b", 3));
    EXPECT_EQ(as_int(call(texts, 0x194, {b.record()})), 3);
    EXPECT_EQ(bytes_call(0x1A0, {b.record(), integer(2)}), std::string("a\0", 2));
    EXPECT_EQ(bytes_call(0x1A0, {b.record(), integer(9)}), std::string("a\0b", 3));
    EXPECT_EQ(bytes_call(0x1A0, {b.record(), integer(-1)}), "");
    EXPECT_EQ(bytes_call(0x1BC, {integer(4)}), std::string(4, '\0'));
    EXPECT_EQ(bytes_call(0x1BC, {integer(-4)}), "");
}

TEST(ByteArrayCommands, ValueToBytes)
{
    EXPECT_EQ(bytes_call(0x198, {text("\xD6\xD0" "a")}), "\xD6\xD0" "a");
    EXPECT_EQ(bytes_call(0x198, {text("")}), "");
    EXPECT_EQ(bytes_call(0x198, {long_integer(0x4E2D)}), std::string("\x2D\x4E\0\0\0\0\0\0", 8));
    EXPECT_EQ(bytes_call(0x198, {long_integer(-2)}), std::string("\xFE\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 8));
    EXPECT_EQ(bytes_call(0x198, {integer(0x41)}), std::string("A\0\0\0", 4));
}

TEST(ByteArrayCommands, ReadTextIsATextGeneralValue)
{
    struct Case { std::string bytes; std::string expected; };
    const Case cases[] = {
        {std::string("\xD6\xD0\0\0", 4), "\xD6\xD0"},
        {"abc", "abc"},
        {std::string("\0abc", 4), ""},
        {"", ""},
    };
    for (const Case& c : cases) {
        ByteArray b(c.bytes);
        const cu_value v = call(texts, 0x19C, {b.record(), integer(10), omitted()});
        EXPECT_EQ(v.tag, CU_TAG_TEXT);
        EXPECT_EQ(take_text(v), c.expected);
    }
    ByteArray four(std::string_view("\x2D\x4E\0\0", 4));
    const cu_value n = call(texts, 0x19C, {four.record(), integer(3), omitted()});
    EXPECT_EQ(n.tag, CU_TAG_INT);
    EXPECT_EQ(as_int(n), 0x4E2D);
}

TEST(ByteArrayCommands, ReplaceAtMostCount)
{
    ByteArray b("abXabXab");
    ByteArray find("ab"), repl(std::string_view("\0", 1)), none("");
    EXPECT_EQ(bytes_call(0x1B8, {b.record(), find.record(), repl.record(), omitted(), integer(2)}),
              std::string("\0X\0Xab", 6));
    EXPECT_EQ(bytes_call(0x1B8, {b.record(), find.record(), none.record(), omitted(), omitted()}), "XX");
    EXPECT_EQ(bytes_call(0x1B8, {b.record(), none.record(), repl.record(), omitted(), omitted()}), "abXabXab");
    // Byte arrays are not texts: a match may start anywhere.
    ByteArray gbk("\x81\x66");
    ByteArray f("f");
    EXPECT_EQ(bytes_call(0x1B8, {gbk.record(), f.record(), none.record(), omitted(), omitted()}), "\x81");
}

TEST(TextCommands, HexUpperCaseWithoutLeadingZeros)
{
    struct Case { cu_value v; const char* expected; };
    const Case cases[] = {
        {integer(0), "0"}, {integer(10), "A"}, {integer(0x4E2D), "4E2D"}, {byte(0xD6), "D6"},
        {byte(5), "5"}, {integer(-1), "FFFFFFFF"}, {long_integer(0x1FFFFFFFF), "1FFFFFFFF"},
    };
    for (const Case& c : cases) EXPECT_EQ(text_call(0x1D4, {c.v}), c.expected);
}

TEST(TextCommands, MissingArgumentsReadAsEmpty)
{
    // Fewer records than the command reads: nothing is read past the list.
    EXPECT_EQ(text_call(0x13C, {}), "");
    EXPECT_EQ(as_int(call(texts, 0x148, {})), -1);
    EXPECT_EQ(text_call(0x180, {text("abc")}), "abc");
    EXPECT_EQ(bytes_call(0x1B8, {}), "");
}

}  // namespace
