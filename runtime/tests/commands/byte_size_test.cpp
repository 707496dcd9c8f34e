#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "kernel_modules.h"

namespace {

const cu_platform_function& format_function()
{
    for (const cu_platform_function& f : cu::kernel::platform_functions())
        if (std::strcmp(f.function, "StrFormatByteSizeA") == 0) return f;
    throw std::runtime_error("StrFormatByteSizeA is not bound");
}

std::string format(std::uint64_t count, std::uint32_t capacity = 255)
{
    std::string buffer(256, ' ');
    const std::uint64_t args[3] = {count, reinterpret_cast<std::uint64_t>(buffer.data()), capacity};
    EXPECT_EQ(format_function().call(args), args[1]) << "returns the buffer's address";
    return buffer.c_str();
}

TEST(ByteSize, ThreeSignificantDigitsTruncated)
{
    struct Case { std::uint64_t count; const char* text; };
    const Case cases[] = {
        {0, "0 bytes"},
        {532, "532 bytes"},
        {1023, "1023 bytes"},
        {1024, "1.00 KB"},
        {1340, "1.30 KB"},
        {1535, "1.49 KB"},           // 1.499: truncated, not rounded
        {23449, "22.8 KB"},
        {23506, "22.9 KB"},
        {1023999, "999 KB"},
        {1024000, "0.97 MB"},        // a thousand units moves on to the next unit
        {2400016, "2.28 MB"},
        {2394400000ULL, "2.22 GB"},
        {2400000000ULL, "2.23 GB"},
        {4294967295ULL, "3.99 GB"},
        {5368709120ULL, "5.00 GB"},  // beyond 32 bits: the true size
        {1099511627776ULL, "1.00 TB"},
        {~0ULL, "15.9 EB"},
    };
    for (const Case& c : cases) EXPECT_EQ(format(c.count), c.text) << c.count;
}

TEST(ByteSize, ShortBufferIsTruncatedAndTerminated)
{
    EXPECT_EQ(format(532, 4), "532");
    EXPECT_EQ(format(532, 1), "");
}

}  // namespace
