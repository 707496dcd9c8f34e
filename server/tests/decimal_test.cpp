#include "text/decimal.h"
#include "catalogue/share.h"

#include <gtest/gtest.h>

namespace cumulo::server {
namespace {

TEST(Decimal, NeverWrapsPast64Bits)
{
    constexpr std::uint64_t above = max_stored_number + 1;
    const std::tuple<const char*, std::uint64_t, std::optional<std::uint64_t>> cases[] = {
        {"0", max_stored_number, 0},
        {"000123", max_stored_number, 123},
        {"9223372036854775807", max_stored_number, max_stored_number},
        {"9223372036854775808", max_stored_number, above},
        {"18446744073709551615", max_stored_number, above},
        {"18446744073709551616", max_stored_number, above},     // 2^64: wrapped to 0
        {"18446744074728897733", max_stored_number, above},     // a uk plus 2^64
        {"20000000000000000000", max_stored_number, above},
        {"99999999999999999999999999999999", max_stored_number, above},
        {"18446744073709551614", UINT64_MAX - 1, UINT64_MAX - 1},
        {"18446744073709551615", UINT64_MAX - 1, UINT64_MAX},
        {"5", 5, 5},
        {"9", 5, 6},                                            // one digit past a small ceiling
        {"65536", 65535, 65536},
        {"", max_stored_number, std::nullopt},
        {"+1", max_stored_number, std::nullopt},
        {"-1", max_stored_number, std::nullopt},
        {"1 ", max_stored_number, std::nullopt},
        {"0x10", max_stored_number, std::nullopt},
    };
    for (const auto& [text, ceiling, expected] : cases)
        EXPECT_EQ(parse_decimal(text, ceiling), expected) << text << " up to " << ceiling;
    EXPECT_EQ(parse_decimal_up_to("18446744073709551616", max_stored_number), std::nullopt);
    EXPECT_EQ(parse_decimal_up_to("42", 42), 42u);
}

}  // namespace
}  // namespace cumulo::server
