// The search's two text helpers called by name inside the loaded image, with
// the real runtime commands behind them.
#include <gtest/gtest.h>

#include <string>

#include "blocks.h"
#include "program_window.h"

namespace e2e {
namespace {

using ReplacePairsFn = char* (*)(const char* const*, int32_t, int32_t, int32_t, int32_t, const char* const*,
                                 const char* const*, const char* const*, const char* const*, const char* const*,
                                 const char* const*, const char* const*, const char* const*, const char* const*,
                                 const char* const*);
using FormatSizeFn = char* (*)(const char* const*);

// Takes a result text of the image and frees it.
std::string take_text(char* text)
{
    std::string taken = text ? text : "";
    cu::free_block(text);
    return taken;
}

struct PairsCase {
    const char* text;
    int32_t count;  // -1: omitted
    int32_t start;
    std::vector<const char*> pairs;  // find, replace, ... (up to five pairs; the rest omitted)
    const char* expected;
};

TEST(ReplaceTextPairs, AppliesEachPairInTurn)
{
    auto* replace_pairs = reinterpret_cast<ReplacePairsFn>(image_routine("ReplaceTextPairs"));
    ASSERT_NE(replace_pairs, nullptr);
    const PairsCase cases[] = {
        {"a file in a folder of an album", -1, 0, {"album", "A", "file", "F", "folder", "D"}, "a F in a D of an A"},
        {"x x x", 1, 0, {"x", "y"}, "y x x"},                 // at most one replacement per pair
        {"x x x", -1, 3, {"x", "y"}, "x y y"},                // from the 1-based position 3
        {"x x x", 1, 3, {"x", "y"}, "x y x"},
        {"ab", -1, 0, {"a", "c", "c", "d"}, "db"},            // a later pair sees what an earlier one put in
        {"File file FILE", -1, 0, {"file", "f"}, "File f FILE"},  // the exact letter case
        {"abc", -1, 0, {"", "z"}, "abc"},                      // an empty find changes nothing
        {"abc", -1, 0, {"z", "y"}, "abc"},
        {"", -1, 0, {"a", "b"}, ""},
        {"12345", -1, 0, {"1", "a", "2", "b", "3", "c", "4", "d", "5", "e"}, "abcde"},  // all five pairs
    };
    for (const PairsCase& c : cases) {
        SCOPED_TRACE(c.text);
        const char* words[10] = {};
        for (std::size_t i = 0; i < c.pairs.size(); ++i) words[i] = c.pairs[i];
        const char* const* ref[10] = {};
        for (std::size_t i = 0; i < 10; ++i) ref[i] = i < c.pairs.size() || i < 2 ? &words[i] : nullptr;
        std::string text = c.text;
        const char* caller = text.c_str();
        const std::string result = take_text(replace_pairs(&caller, c.count < 0 ? 0 : c.count, c.count >= 0, c.start,
                                                           1, ref[0], ref[1], ref[2], ref[3], ref[4], ref[5], ref[6],
                                                           ref[7], ref[8], ref[9]));
        EXPECT_EQ(result, c.expected);
        EXPECT_EQ(text, c.text) << "the caller's text changed";
    }
}

TEST(FormatSizeText, FormatsTheFullCountAndLeavesZeroEmpty)
{
    auto* format_size = reinterpret_cast<FormatSizeFn>(image_routine("FormatSizeText"));
    ASSERT_NE(format_size, nullptr);
    const std::pair<const char*, const char*> cases[] = {
        {"0", ""},
        {"", ""},
        {"abc", ""},            // no digits reads as 0
        {"-5", ""},             // nor does a sign: a negative size is no size
        {"532", "532 bytes"},
        {"1023", "1023 bytes"},
        {"1024", "1.00 KB"},
        {"12abc", "12 bytes"},  // the leading digits
        {"  1336", "1.30 KB"},
        {"4294967295", "3.99 GB"},  // the last 32-bit count
        {"4294967296", "4.00 GB"},  // the first beyond it, which a 32-bit count would make 0
        {"5368709120", "5.00 GB"},
        {"1099511627776", "1.00 TB"},
    };
    for (const auto& [digits, shown] : cases) {
        SCOPED_TRACE(digits);
        EXPECT_EQ(take_text(format_size(&digits)), shown);
    }
    // Beyond 64 bits the count saturates instead of wrapping to a small size.
    const char* huge = "99999999999999999999999";
    const char* largest = "18446744073709551615";
    EXPECT_EQ(take_text(format_size(&huge)), take_text(format_size(&largest)));
}

}  // namespace
}  // namespace e2e
