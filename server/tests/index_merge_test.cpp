// A merge of indexes against the index built from the shares it keeps: every share, text and
// list the same, whatever the sources drop and however many shares share a size.
#include "index/index_merge.h"
#include "index/share_index_builder.h"

#include <gtest/gtest.h>

#include <random>

namespace cumulo::server {
namespace {

std::vector<Rank> ranks_of(const CompactList& list)
{
    std::vector<Rank> ranks(list.count);
    for (std::uint32_t block = 0, at = 0; block < list.block_count(); ++block)
        at += list.decode_block(block, ranks.data() + at);
    return ranks;
}

// The share's name, code and folded name, as they follow each other in the texts.
std::string_view texts_of(const IndexParts& parts, std::size_t rank)
{
    const ShareLengths& lengths = parts.lengths[rank];
    return parts.texts.substr(parts.numbers[rank].texts_start,
                              std::size_t{lengths.name_bytes} + lengths.code_bytes + lengths.folded_bytes);
}

void expect_same_index(const IndexParts& merged, const IndexParts& built)
{
    ASSERT_EQ(merged.numbers.size(), built.numbers.size());
    for (std::size_t rank = 0; rank < built.numbers.size(); ++rank) {
        EXPECT_EQ(merged.numbers[rank].size, built.numbers[rank].size) << "rank " << rank;
        EXPECT_EQ(merged.numbers[rank].shareid, built.numbers[rank].shareid) << "rank " << rank;
        EXPECT_EQ(merged.numbers[rank].uk, built.numbers[rank].uk) << "rank " << rank;
        // Where a share's texts lie may differ; what they hold may not.
        EXPECT_EQ(texts_of(merged, rank), texts_of(built, rank)) << "rank " << rank;
        EXPECT_EQ(merged.lengths[rank].name_bytes, built.lengths[rank].name_bytes) << "rank " << rank;
        EXPECT_EQ(merged.lengths[rank].folded_bytes, built.lengths[rank].folded_bytes) << "rank " << rank;
        EXPECT_EQ(merged.lengths[rank].code_bytes, built.lengths[rank].code_bytes) << "rank " << rank;
        EXPECT_EQ(merged.lengths[rank].type, built.lengths[rank].type) << "rank " << rank;
    }
    ASSERT_EQ(std::vector(merged.grams.begin(), merged.grams.end()), std::vector(built.grams.begin(), built.grams.end()));
    for (std::size_t place = 0; place < built.grams.size(); ++place)
        for (std::size_t type = 0; type < share_type_count; ++type)
            EXPECT_EQ(ranks_of(merged.lists[place][type]), ranks_of(built.lists[place][type]))
                << "gram " << built.grams[place] << ", type " << type;
}

struct MergeCase {
    const char* what;
    std::vector<std::size_t> source_sizes;
    unsigned distinct_sizes;  // few: many shares of one size, whose order the merge must keep
    unsigned drop_one_in;     // 0: nothing dropped
};

class IndexMerge : public testing::TestWithParam<MergeCase> {};

TEST_P(IndexMerge, GivesTheIndexBuiltFromTheKeptShares)
{
    const MergeCase& c = GetParam();
    const char* words[] = {"Alpha", "beta", "ÄRGER", "电影", "影集", "ß", "x"};
    std::mt19937 random(11);
    std::vector<IndexParts> sources;
    std::vector<std::vector<bool>> dropped;
    std::vector<Share> kept;  // oldest source first, each in its rank order
    std::uint64_t next_id = 1;
    for (std::size_t count : c.source_sizes) {
        std::vector<Share> shares;
        for (std::size_t i = 0; i < count; ++i) {
            Share share;
            share.name = std::string(words[random() % 7]) + " " + words[random() % 7];
            share.type = static_cast<ShareType>(random() % 3);
            share.size = random() % c.distinct_sizes;
            share.uk = 5;
            if (next_id % 4 == 0)
                share.code = "code" + std::to_string(next_id);
            else
                share.shareid = next_id;
            ++next_id;
            shares.push_back(share);
        }
        IndexParts& parts = sources.emplace_back(build_index_parts(shares));
        std::vector<bool>& drops = dropped.emplace_back(count);
        for (std::size_t rank = 0; rank < count; ++rank) {
            drops[rank] = c.drop_one_in != 0 && random() % c.drop_one_in == 0;
            if (drops[rank])
                continue;
            Share share;
            share.name = std::string(parts.texts.substr(parts.numbers[rank].texts_start, parts.lengths[rank].name_bytes));
            share.code = std::string(parts.texts.substr(parts.numbers[rank].texts_start + parts.lengths[rank].name_bytes,
                                                        parts.lengths[rank].code_bytes));
            share.type = static_cast<ShareType>(parts.lengths[rank].type);
            share.size = parts.numbers[rank].size;
            share.shareid = parts.numbers[rank].shareid;
            share.uk = parts.numbers[rank].uk;
            kept.push_back(share);
        }
    }
    std::vector<const IndexParts*> pointers;
    for (const IndexParts& parts : sources)
        pointers.push_back(&parts);
    expect_same_index(merge_index_parts(pointers, dropped), build_index_parts(kept));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IndexMerge,
    testing::Values(MergeCase{"four sources, sizes all alike", {300, 40, 41, 7}, 3, 0},
                    MergeCase{"many dropped, lists left empty", {200, 200}, 50, 2},
                    MergeCase{"everything dropped", {20, 20}, 5, 1},
                    MergeCase{"an empty source among others", {0, 90, 0}, 10, 5},
                    MergeCase{"one source, some dropped", {500}, 1000, 3}),
    [](const testing::TestParamInfo<MergeCase>& info) {
        std::string name;
        for (char ch : std::string(info.param.what))
            if (std::isalnum(static_cast<unsigned char>(ch)))
                name += ch;
        return name;
    });

}  // namespace
}  // namespace cumulo::server
