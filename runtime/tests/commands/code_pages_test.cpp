#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "kernel_modules.h"

namespace {

std::uint64_t call(const char* function, std::vector<std::uint64_t> args)
{
    for (const cu_platform_function& f : cu::kernel::platform_functions())
        if (std::strcmp(f.function, function) == 0) {
            EXPECT_EQ(f.arity, args.size()) << function;
            return f.call(args.data());
        }
    ADD_FAILURE() << "no platform function " << function;
    return 0;
}

template <typename T>
std::uint64_t address(T* p) { return reinterpret_cast<std::uint64_t>(p); }

constexpr std::uint64_t minus_one = 0xFFFFFFFFu;  // -1 as a 32-bit word

// The two-call pattern: ask for the size, then convert into a buffer of exactly that size.
std::u16string to_utf16(std::uint32_t code_page, const std::string& bytes)
{
    const auto n = call("MultiByteToWideChar", {code_page, 0, address(bytes.data()), bytes.size(), 0, 0});
    std::u16string out(n, u'\xAAAA');
    EXPECT_EQ(call("MultiByteToWideChar", {code_page, 0, address(bytes.data()), bytes.size(), address(out.data()), n}), n);
    return out;
}

std::string to_bytes(std::uint32_t code_page, const std::u16string& units, std::uint64_t flags = 0x200)
{
    const auto n = call("WideCharToMultiByte", {code_page, flags, address(units.data()), units.size(), 0, 0, 0, 0});
    std::string out(n, '\xAA');
    EXPECT_EQ(call("WideCharToMultiByte",
                   {code_page, flags, address(units.data()), units.size(), address(out.data()), n, 0, 0}),
              n);
    return out;
}

TEST(CodePages, BytesToUnits)
{
    struct Case { std::uint32_t code_page; std::string bytes; std::u16string units; };
    const Case cases[] = {
        {936, "\x80", u"\u20AC"},
        {936, "\xA1\xAF", u"\u2019"},
        {936, "\xD6\xD0\xCE\xC4", u"\u4E2D\u6587"},
        {0, "\xD6\xD0\xCE\xC4", u"\u4E2D\u6587"},
        {936, "a\xD6", u"a\uFFFD"},                      // a lone lead byte at the end
        {936, std::string("\xD6\0", 2), std::u16string(u"\uFFFD\0", 2)},  // a lead byte before the terminator
        {936, "A-z", u"A-z"},
        {65001, "\xE4\xB8\xAD\xE6\x96\x87", u"\u4E2D\u6587"},
        {65001, "a\xC3\x28", u"a\uFFFD("},              // a broken two-byte sequence
        {65001, "\xFF", u"\uFFFD"},
        {65001, "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},  // an encoded surrogate is no UTF-8
        {65001, "\xF0\x9F\x98\x80", u"\U0001F600"},     // an emoji: a surrogate pair
    };
    for (const Case& c : cases) EXPECT_EQ(to_utf16(c.code_page, c.bytes), c.units) << c.code_page << " " << c.bytes;
}

TEST(CodePages, UnitsToBytes)
{
    struct Case { std::uint32_t code_page; std::u16string units; std::string bytes; };
    const Case cases[] = {
        {936, u"\u20AC", "\x80"},
        {936, u"\u2019", "\xA1\xAF"},
        {936, u"\u4E2D\u6587", "\xD6\xD0\xCE\xC4"},
        {0, u"\u00E9", "\xA8\xA6"},
        {936, std::u16string(1, char16_t(0xD800)) + u"x", "?x"},  // lone surrogates
        {936, std::u16string(1, char16_t(0xDC00)), "?"},
        {936, u"\U0001F600", "?"},                                   // GBK has no emoji
        {65001, u"\u4E2D", "\xE4\xB8\xAD"},
        {65001, std::u16string(1, char16_t(0xD800)), "\xEF\xBF\xBD"},
        {65001, u"\U0001F600", "\xF0\x9F\x98\x80"},
    };
    for (const Case& c : cases) EXPECT_EQ(to_bytes(c.code_page, c.units, 0), c.bytes) << c.code_page;
    EXPECT_EQ(to_bytes(936, u"\u4E2D", 0x200), "\xD6\xD0") << "the composite-check flag is accepted";
}

TEST(CodePages, MinusOneCountsTheTerminator)
{
    const char* gbk = "\xD6\xD0\xCE\xC4";
    char16_t units[3] = {};
    EXPECT_EQ(call("MultiByteToWideChar", {936, 0, address(gbk), minus_one, 0, 0}), 3u);
    EXPECT_EQ(call("MultiByteToWideChar", {936, 0, address(gbk), ~std::uint64_t{0}, address(units), 3}), 3u);
    EXPECT_EQ(std::u16string(units, 3), std::u16string(u"\u4E2D\u6587\0", 3));

    char out[5];
    std::memset(out, 'x', sizeof out);
    EXPECT_EQ(call("WideCharToMultiByte", {936, 0x200, address(units), minus_one, 0, 0, 0, 0}), 5u);
    EXPECT_EQ(call("WideCharToMultiByte", {936, 0x200, address(units), minus_one, address(out), 5, 0, 0}), 5u);
    EXPECT_STREQ(out, gbk);
}

TEST(CodePages, FailuresAnswerZero)
{
    const char* text = "abc";
    char16_t units[8] = {u'a', u'b', u'c', 0};
    char bytes[8] = "zzzzzzz";
    EXPECT_EQ(call("MultiByteToWideChar", {1252, 0, address(text), 3, 0, 0}), 0u) << "unsupported code page";
    EXPECT_EQ(call("MultiByteToWideChar", {936, 0, address(text), 0, 0, 0}), 0u) << "zero length";
    EXPECT_EQ(call("MultiByteToWideChar", {936, 0, address(text), 0xFFFFFFFEu, 0, 0}), 0u) << "length -2";
    EXPECT_EQ(call("MultiByteToWideChar", {936, 0, 0, 3, 0, 0}), 0u) << "no source";
    EXPECT_EQ(call("MultiByteToWideChar", {936, 0, address(text), 3, address(units), 2}), 0u) << "too small";
    EXPECT_EQ(units[0], u'a') << "a destination too small is left untouched";
    EXPECT_EQ(call("WideCharToMultiByte", {936, 0, address(units), 3, address(bytes), 2, 0, 0}), 0u);
    EXPECT_EQ(std::string(bytes), "zzzzzzz");
    EXPECT_EQ(call("WideCharToMultiByte", {437, 0, address(units), 3, 0, 0, 0, 0}), 0u);
    const char star = '*';
    EXPECT_EQ(call("WideCharToMultiByte", {65001, 0, address(units), 3, 0, 0, address(&star), 0}), 0u)
        << "UTF-8 takes no default character";
}

TEST(CodePages, DefaultCharacterAndUsedFlag)
{
    const std::u16string units = u"a\U0001F600";
    const char star = '*';
    std::int32_t used = -1;
    char out[8] = {};
    EXPECT_EQ(call("WideCharToMultiByte",
                   {936, 0, address(units.data()), units.size(), address(out), 8, address(&star), address(&used)}),
              2u);
    EXPECT_EQ(std::string(out, 2), "a*");
    EXPECT_EQ(used, 1);
    EXPECT_EQ(call("WideCharToMultiByte", {936, 0, address(units.data()), 1, address(out), 8, 0, address(&used)}), 1u);
    EXPECT_EQ(used, 0);
}

TEST(Com, InitialiseCountsPerThread)
{
    EXPECT_EQ(call("CoInitialize", {0}), 0u);  // S_OK
    EXPECT_EQ(call("CoInitialize", {0}), 1u);  // S_FALSE: already initialised
    std::thread([] { EXPECT_EQ(call("CoInitialize", {0}), 0u); }).join();
    call("CoUninitialize", {});
    call("CoUninitialize", {});
    call("CoUninitialize", {});  // one too many is harmless
    EXPECT_EQ(call("CoInitialize", {0}), 0u);
    call("CoUninitialize", {});
}

TEST(PlatformTable, NamesAndArities)
{
    struct Entry { const char* library; const char* function; std::uint32_t arity; };
    const Entry expected[] = {
        {"kernel32.dll", "MultiByteToWideChar", 6}, {"kernel32.dll", "WideCharToMultiByte", 8},
        {"ole32.dll", "CoInitialize", 1},           {"ole32.dll", "CoUninitialize", 0},
        {"shlwapi.dll", "StrFormatByteSizeA", 3},
    };
    const auto table = cu::kernel::platform_functions();
    ASSERT_EQ(table.size(), std::size(expected));
    for (std::size_t i = 0; i < table.size(); ++i) {
        EXPECT_STREQ(table[i].library, expected[i].library);
        EXPECT_STREQ(table[i].function, expected[i].function);
        EXPECT_EQ(table[i].arity, expected[i].arity);
    }
}

}  // namespace
