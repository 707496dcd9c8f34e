// The order of the result list's cells: sizes by the bytes behind the text the
// byte-size formatter wrote, names in Chinese order.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>

#include "kernel_modules.h"
#include "row_order.h"

namespace cu::window {
namespace {

// The formatter the program's sizes come from, as the kernel binds it.
QString formatted(std::uint64_t bytes)
{
    static const cu_platform_function* format = [] {
        for (const cu_platform_function& f : cu::kernel::platform_functions())
            if (std::strcmp(f.function, "StrFormatByteSizeA") == 0) return &f;
        throw std::runtime_error("StrFormatByteSizeA is not bound");
    }();
    char buffer[64] = {};
    const std::uint64_t args[3] = {bytes, reinterpret_cast<std::uint64_t>(buffer), sizeof buffer};
    format->call(args);
    return QString::fromLatin1(buffer);
}

TEST(RowOrder, SmallestByteCountOfShownSizes)
{
    struct Case {
        const char* shown;
        std::optional<std::uint64_t> bytes;
    };
    const Case cases[] = {
        {"532 bytes", 532},
        {"1023 bytes", 1023},
        {"1.00 KB", 1024},
        {"1.30 KB", 1332},
        {"22.9 KB", 23450},
        {"999 KB", 1022976},
        {"0.97 MB", 1024000},  // begins at 1000 KB, above "999 KB"
        {"5.00 GB", 5368709120ULL},
        {"15.9 EB", 18331451923248866919ULL},
        {"", std::nullopt},
        {"KB", std::nullopt},
        {"1.0", std::nullopt},
        {"1.000 KB", std::nullopt},
        {"12345 bytes", std::nullopt},
        {"1.5 bytes", std::nullopt},
        {"1. KB", std::nullopt},
        {"1 kb", std::nullopt},
        {"1  KB", std::nullopt},
        {"1.00 KB ", std::nullopt},
        {"999 EB", std::nullopt},  // beyond 64 bits
        {"资源", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(smallest_byte_count(QString::fromUtf8(c.shown)), c.bytes) << c.shown;
}

// For every count, the key of its text is the first count that shows that
// text: so keys order the texts exactly as the counts behind them.
TEST(RowOrder, SmallestByteCountIsTheFirstCountShowingTheText)
{
    const auto check = [](std::uint64_t bytes) {
        const QString shown = formatted(bytes);
        const auto fewest = smallest_byte_count(shown);
        ASSERT_TRUE(fewest.has_value()) << shown.toStdString();
        EXPECT_LE(*fewest, bytes) << shown.toStdString();
        EXPECT_EQ(formatted(*fewest), shown) << bytes;
        if (*fewest > 0) EXPECT_NE(formatted(*fewest - 1), shown) << bytes;
    };
    for (std::uint64_t bytes = 0; bytes < 20000; ++bytes) check(bytes);
    for (long double bytes = 20000; bytes < 1.8e19L; bytes = bytes * 1.0007L + 1)
        check(static_cast<std::uint64_t>(bytes));
    check(~0ULL);
}

// Chinese order: digits first, then Han characters by pinyin (digit runs by
// their value), then Latin letters.
TEST(RowOrder, EmptyThenSizesByBytesThenTextsInChineseOrder)
{
    const char* const ascending[] = {
        "",        "1023 bytes", "1.00 KB", "999 KB", "0.97 MB", "3.99 GB", "5.00 GB", "1.00 TB",
        "1号",     "阿",         "第2集",   "第10集", "文件",    "文件夹",  "相册",    "abc",
    };
    const std::size_t n = std::size(ascending);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) {
            const int order = compare_cell_texts(QString::fromUtf8(ascending[i]), QString::fromUtf8(ascending[j]));
            EXPECT_EQ(order < 0, i < j) << ascending[i] << " / " << ascending[j];
            EXPECT_EQ(order == 0, i == j) << ascending[i] << " / " << ascending[j];
        }
}

}  // namespace
}  // namespace cu::window
