// Both search plans against a plain filter-and-sort of the sample shares.
#include "sample_catalogue.h"

#include "temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace cumulo::server {
namespace {

std::string lower_ascii(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

class CatalogueSearch : public ::testing::Test {
protected:
    static constexpr std::uint64_t count = 3000;

    static void SetUpTestSuite()
    {
        dir_ = new TempDir;
        catalogue_ = new Catalogue(dir_->file("search.sqlite"));
        build_sample_catalogue(*catalogue_, count);
        generate_sample_shares(count, [](const Share& share) { shares_.push_back(share); });
    }
    static void TearDownTestSuite()
    {
        delete catalogue_;
        delete dir_;
    }

    // Matches by substring without regard to ASCII letter case, ordered by size and then by
    // the order in which the shares went in, as the catalogue answers.
    static std::vector<Share> expected(const SearchQuery& query)
    {
        std::vector<std::size_t> hits;
        for (std::size_t i = 0; i < shares_.size(); ++i)
            if ((!query.type || shares_[i].type == *query.type)
                && lower_ascii(shares_[i].name).find(lower_ascii(query.key)) != std::string::npos)
                hits.push_back(i);
        std::stable_sort(hits.begin(), hits.end(), [](std::size_t a, std::size_t b) {
            return shares_[a].size < shares_[b].size;
        });
        if (query.descending)
            std::reverse(hits.begin(), hits.end());
        std::vector<Share> page;
        for (std::size_t k = query.start; k < hits.size() && page.size() < query.limit; ++k)
            page.push_back(shares_[hits[k]]);
        return page;
    }

    static inline TempDir* dir_ = nullptr;
    static inline Catalogue* catalogue_ = nullptr;
    static inline std::vector<Share> shares_;
};

TEST_F(CatalogueSearch, BothPlansGiveTheRowsOfAPlainFilter)
{
    const SearchQuery queries[] = {
        {"电影", 200, false, 0, std::nullopt},
        {"电影", 200, true, 0, ShareType::file},
        {"高清", 50, false, 20, ShareType::folder},
        {"集", 200, true, 0, std::nullopt},
        {"考研英语", 200, false, 0, std::nullopt},
        {"考研英语", 30, true, 10, ShareType::folder},
        {"lecture 1", 200, true, 0, std::nullopt},
        {"TRIP", 200, false, 5, ShareType::album},
        {"\"", 200, false, 0, std::nullopt},
        {"xq", 200, false, 0, std::nullopt},
        {"no such words", 200, false, 0, std::nullopt},
    };
    using std::chrono::microseconds;
    for (microseconds budget : {microseconds(0), microseconds(1)}) {
        // No budget lets the first plan always finish; 1 us stops it at once, so the other answers.
        catalogue_->set_search_budget(budget);
        for (const SearchQuery& query : queries) {
            std::vector<Share> want = expected(query);
            std::vector<Share> got = catalogue_->search(query);
            ASSERT_EQ(got.size(), want.size()) << query.key << " budget " << budget.count();
            EXPECT_TRUE(got == want) << query.key << " budget " << budget.count();
        }
    }
    EXPECT_GT(expected(queries[0]).size(), 10u);
    EXPECT_EQ(expected(queries[3]).size(), 200u);  // a full page
    EXPECT_GT(expected(queries[4]).size(), 10u);
}

}  // namespace
}  // namespace cumulo::server
