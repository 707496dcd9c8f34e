// Rank lists coded in blocks: what goes in comes out at every edge of the coding, a seek lands in
// the right block, and malformed bytes are refused without reading past them.
#include "index/compact_list.h"

#include <gtest/gtest.h>

#include <limits>

namespace cumulo::server {
namespace {

constexpr Rank highest_rank = std::numeric_limits<Rank>::max() - 1;

std::vector<Rank> rising(Rank first, Rank gap, std::size_t count)
{
    std::vector<Rank> ranks;
    for (std::size_t i = 0; i < count; ++i)
        ranks.push_back(first + static_cast<Rank>(i) * gap);
    return ranks;
}

std::vector<std::uint8_t> coded(const std::vector<Rank>& ranks)
{
    CompactListWriter writer;
    for (Rank rank : ranks)
        writer.append(rank);
    return writer.finish();
}

std::vector<Rank> decoded(const CompactList& list)
{
    std::vector<Rank> ranks;
    Rank block[block_entries];
    for (std::uint32_t b = 0; b < list.block_count(); ++b) {
        std::uint32_t entries = list.decode_block(b, block);
        ranks.insert(ranks.end(), block, block + entries);
    }
    return ranks;
}

TEST(CompactList, GivesBackWhatWentInAtEveryEdgeOfTheCoding)
{
    struct Case {
        const char* what;
        std::vector<Rank> ranks;
    };
    const Case cases[] = {
        {"empty", {}},
        {"rank 0 alone", {0}},
        {"the highest rank alone (five bytes)", {highest_rank}},
        {"gaps at the one-byte edge", {0, 127, 255, 256}},
        {"gaps at the two-byte edge", {5, 5 + 16383, 5 + 16383 + 16384}},
        {"the widest gap", {0, highest_rank}},
        {"one full block, no skip table", rising(10, 1, block_entries)},
        {"one rank past a block", rising(10, 3, block_entries + 1)},
        {"two full blocks", rising(0, 1000, 2 * block_entries)},
        {"many blocks ending at the highest rank", rising(highest_rank - 999u * 4'000'000u, 4'000'000, 1000)},
    };
    for (const Case& c : cases) {
        std::vector<std::uint8_t> bytes = coded(c.ranks);
        CompactList list{bytes.data(), static_cast<std::uint32_t>(c.ranks.size()), static_cast<std::uint32_t>(bytes.size())};
        EXPECT_EQ(compact_list_problem(list, std::uint64_t{highest_rank} + 1), "") << c.what;
        EXPECT_EQ(decoded(list), c.ranks) << c.what;
        // Every rank finds its own block, and a rank just below the list finds none.
        for (std::size_t i = 0; i < c.ranks.size(); ++i)
            EXPECT_EQ(list.last_block_at_or_below(c.ranks[i]), i / block_entries) << c.what << " rank " << i;
        if (!c.ranks.empty() && c.ranks[0] > 0)
            EXPECT_EQ(list.last_block_at_or_below(c.ranks[0] - 1), list.block_count()) << c.what;
        // A whole list appended to a shared buffer is coded the same, byte for byte.
        std::vector<std::uint8_t> shared = {0xAA};
        append_compact_list(c.ranks, shared);
        EXPECT_EQ(std::vector(shared.begin() + 1, shared.end()), bytes) << c.what;
    }
    std::vector<std::uint8_t> near = coded(rising(0, 1, 1000));
    EXPECT_LT(near.size(), 1000u * 1.3) << "near ranks cost about a byte each";
}

TEST(CompactList, RefusesMalformedBytesWithoutReadingPastThem)
{
    std::vector<std::uint8_t> two_blocks = coded(rising(0, 2, block_entries + 1));
    struct Case {
        const char* what;
        std::vector<std::uint8_t> bytes;
        std::uint32_t count;
        std::uint64_t rank_limit;
        const char* problem;
    };
    std::vector<Case> cases = {
        {"a number cut short", {0x85}, 1, 100, "cut short or too large"},
        {"a number over 32 bits", {0xff, 0xff, 0xff, 0xff, 0x7f}, 1, UINT64_MAX, "cut short or too large"},
        {"a gap of zero", {3, 0}, 2, 100, "do not rise"},
        {"a rank past the last share", {3, 7}, 2, 10, "past the last share"},
        {"bytes after the last rank", {3, 7, 1}, 2, 100, "bytes past"},
        {"fewer bytes than the count needs", {3}, 2, 100, "cut short or too large"},
        {"bytes for an empty list", {3}, 0, 100, "empty list"},
        {"a skip table longer than the list", {1, 1, 1}, block_entries + 1, 100, "skip table"},
    };
    std::vector<std::uint8_t> wrong_first = two_blocks;
    wrong_first[wrong_first.size() - 8] ^= 1;  // the skip table's first rank of block 1
    cases.push_back({"a skip table that disagrees", wrong_first, block_entries + 1, 100, "disagrees"});
    std::vector<std::uint8_t> wrong_offset = two_blocks;
    wrong_offset[wrong_offset.size() - 4] = 0x7f;  // the skip table's offset of block 1
    cases.push_back({"a skip table pointing astray", wrong_offset, block_entries + 1, 100, "points outside"});

    for (const Case& c : cases) {
        // A copy of exactly the list's bytes: a read past them is caught by the sanitizers.
        auto bytes = std::make_unique<std::uint8_t[]>(c.bytes.size());
        std::copy(c.bytes.begin(), c.bytes.end(), bytes.get());
        CompactList list{bytes.get(), c.count, static_cast<std::uint32_t>(c.bytes.size())};
        EXPECT_NE(compact_list_problem(list, c.rank_limit).find(c.problem), std::string::npos)
            << c.what << ": " << compact_list_problem(list, c.rank_limit);
    }
}

}  // namespace
}  // namespace cumulo::server
