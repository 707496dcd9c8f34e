// The builtins as compiled for the image, on their edge cases.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <fenv.h>
#include <cstring>
#include <string>

#include "builtins.h"
#include "stand_in_services.h"

extern "C" {
void* image_memcpy(void*, const void*, size_t);
void* image_memmove(void*, const void*, size_t);
void* image_memset(void*, int, size_t);
int image_memcmp(const void*, const void*, size_t);
}

namespace {

// Two pages, the second inaccessible: a text placed to end at the first
// page's last byte shows any read past its NUL that crosses the page.
struct PageEnd {
    std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    char* base = static_cast<char*>(mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    PageEnd() { mprotect(base + page, page, PROT_NONE); }
    ~PageEnd() { munmap(base, 2 * page); }
    // `text` copied so that its NUL is the page's last byte.
    const char* place(const std::string& text)
    {
        char* p = base + page - text.size() - 1;
        std::memcpy(p, text.c_str(), text.size() + 1);
        return p;
    }
};

TEST(TextLength, NulAtEveryPositionAndAlignment)
{
    alignas(16) char buffer[80];
    for (int align = 0; align < 4; ++align) {
        for (int length = 0; length < 48; ++length) {
            // Bytes of 0x80 and above make the word test fire without a NUL.
            std::memset(buffer, '\xA1', sizeof buffer);
            for (int i = 0; i < length; i += 3) buffer[align + i] = 'x';
            buffer[align + length] = '\0';
            EXPECT_EQ(TextLength(buffer + align), length) << "alignment " << align;
        }
    }
    EXPECT_EQ(TextLength(nullptr), 0);
}

TEST(TextLength, NeverReadsIntoTheNextPage)
{
    PageEnd pages;
    for (int length = 0; length < 12; ++length)
        EXPECT_EQ(TextLength(pages.place(std::string(length, '\x81'))), length);
}

TEST(ConcatTexts, OneAllocationOfExactlyTheTotalPlusNul)
{
    builtins_test::allocations.clear();
    char* joined = ConcatTexts(3, "a", nullptr, "b");
    EXPECT_STREQ(joined, "ab");
    ASSERT_EQ(builtins_test::allocations, std::vector<std::uint32_t>{3});
    std::free(joined);

    builtins_test::allocations.clear();
    const std::string long_piece(1000, '\xB0');
    joined = ConcatTexts(5, "http://", long_piece.c_str(), "", "&x=", "\xD6\xD0");
    EXPECT_EQ(std::string(joined), "http://" + long_piece + "&x=\xD6\xD0");
    EXPECT_EQ(builtins_test::allocations, std::vector<std::uint32_t>{1013});
    std::free(joined);

    joined = ConcatTexts(1, nullptr);
    EXPECT_STREQ(joined, "");
    std::free(joined);
}

TEST(CompareTexts, NullEmptyAndUnsignedBytes)
{
    struct Case {
        const char* a;
        const char* b;
        int expected;
    };
    const Case cases[] = {
        {nullptr, "", 0},       {"", nullptr, 0},         {nullptr, nullptr, 0},   {nullptr, "a", -1},
        {"a", nullptr, 1},      {"abc", "abc", 0},        {"abc", "abd", -1},      {"abd", "abc", 1},
        {"ab", "abc", -1},      {"abc", "ab", 1},         {"\x81", "z", 1},        {"z", "\xFE", -1},
        {"\xD6\xD0", "\xD6\xD1", -1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CompareTexts(c.a, c.b), c.expected)
            << (c.a ? c.a : "(null)") << " vs " << (c.b ? c.b : "(null)");
}

TEST(CompareTexts, FirstDifferenceAtEveryPositionAndAlignment)
{
    alignas(16) char a[64];
    alignas(16) char b[64];
    for (int align_a = 0; align_a < 4; ++align_a) {
        for (int align_b = 0; align_b < 4; ++align_b) {
            for (int at = 0; at < 20; ++at) {
                std::memset(a, '\xC4', sizeof a);
                std::memset(b, '\xC4', sizeof b);
                a[align_a + 24] = b[align_b + 24] = '\0';
                EXPECT_EQ(CompareTexts(a + align_a, b + align_b), 0);
                b[align_b + at] = '\xC5';
                EXPECT_EQ(CompareTexts(a + align_a, b + align_b), -1) << align_a << " " << align_b << " " << at;
                EXPECT_EQ(CompareTexts(b + align_b, a + align_a), 1);
                b[align_b + at] = '\0';  // b is a prefix of a
                EXPECT_EQ(CompareTexts(a + align_a, b + align_b), 1);
            }
        }
    }
}

TEST(CompareTexts, NeverReadsIntoTheNextPage)
{
    PageEnd pages;
    alignas(16) char longer[32];
    for (int length = 0; length < 12; ++length) {
        std::memset(longer, 'q', sizeof longer);
        longer[length + 4] = '\0';
        for (int align = 0; align < 4; ++align) {
            std::memcpy(longer + align, std::string(length, 'q').c_str(), length);
            EXPECT_EQ(CompareTexts(longer + align, pages.place(std::string(length, 'q'))), 1);
        }
    }
}

TEST(DoubleToInteger, TruncatesUnderEveryRoundingModeAndKeepsTheMode)
{
    for (int mode : {FE_TONEAREST, FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO}) {
        std::fesetround(mode);
        EXPECT_EQ(DoubleToInteger(2.9), 2) << mode;
        EXPECT_EQ(DoubleToInteger(-2.9), -2) << mode;
        EXPECT_EQ(DoubleToInteger(-0.5), 0) << mode;
        EXPECT_EQ(DoubleToInteger(4294967296.75), 4294967296) << mode;
        EXPECT_EQ(std::fegetround(), mode);
    }
    std::fesetround(FE_TONEAREST);
}

TEST(Memory, CopyMoveSetCompare)
{
    char buffer[64];
    for (int i = 0; i < 64; ++i) buffer[i] = static_cast<char>(i);
    image_memmove(buffer + 8, buffer, 32);  // overlapping, forward
    for (int i = 0; i < 32; ++i) ASSERT_EQ(buffer[8 + i], i);
    image_memmove(buffer, buffer + 8, 32);  // overlapping, backward
    for (int i = 0; i < 32; ++i) ASSERT_EQ(buffer[i], i);
    char copy[64];
    EXPECT_EQ(image_memcpy(copy, buffer, 64), copy);
    EXPECT_EQ(image_memcmp(copy, buffer, 64), 0);
    image_memset(copy + 10, 0xFF, 5);
    EXPECT_EQ(image_memcmp(copy, buffer, 64), 1);  // 0xFF above 10 as unsigned
    EXPECT_EQ(image_memcmp(buffer, copy, 64), -1);
    EXPECT_EQ(image_memcmp(buffer, copy, 10), 0);
    EXPECT_EQ(image_memcpy(copy, buffer, 0), copy);
}

TEST(StartRoutine, ResetsFloatingPointAndRunsTheProgramToEndProgramZero)
{
    EXPECT_EXIT(
        {
            std::fesetround(FE_UPWARD);
            feenableexcept(FE_DIVBYZERO);
            cu_start();
        },
        ::testing::ExitedWithCode(0), "^register:3:routine mxcsr:1F80 cw:37F open:52010001 loop end:0 \n$");
}

}  // namespace
