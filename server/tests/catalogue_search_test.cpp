// The search index against a plain filter-and-sort of the sample shares, its letter-case rule
// and its deadline.
#include "catalogue/catalogue.h"
#include "catalogue/sample_catalogue.h"
#include "index/search_deadline.h"

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

TEST_F(CatalogueSearch, GivesTheRowsOfAPlainFilter)
{
    const SearchQuery queries[] = {
        {"电影", 200, false, 0, std::nullopt},
        {"电影", 200, true, 0, ShareType::file},
        {"电影", 7, true, 150, std::nullopt},  // a page deep in the union of the types' lists
        {"高清", 50, false, 20, ShareType::folder},
        {"集", 200, true, 0, std::nullopt},
        {"集", 200, false, 500, std::nullopt},
        {"集", 0, false, 0, std::nullopt},
        {"e", 100, true, 50, ShareType::album},
        {"考研英语", 200, false, 0, std::nullopt},
        {"考研英语", 30, true, 10, ShareType::folder},
        {"lecture 1", 200, true, 0, std::nullopt},
        {"lecture 1", 50, false, 60, std::nullopt},
        {"TRIP", 200, false, 5, ShareType::album},
        {"\"", 200, false, 0, std::nullopt},
        {"xq", 200, false, 0, std::nullopt},
        {"q", 200, false, 0, std::nullopt},
        {"真题讲义", 200, false, 0, std::nullopt},  // common pairs, never adjacent
        {"no such words", 200, false, 0, std::nullopt},
        {"电影", 200, false, 1'000'000'000, std::nullopt},
    };
    for (const SearchQuery& query : queries) {
        std::vector<Share> want = expected(query);
        std::vector<Share> got = catalogue_->search(query);
        ASSERT_EQ(got.size(), want.size()) << query.key << " start " << query.start;
        EXPECT_TRUE(got == want) << query.key << " start " << query.start;
    }
    EXPECT_EQ(expected(queries[2]).size(), 7u);
    EXPECT_EQ(expected(queries[4]).size(), 200u);  // a full page
    EXPECT_GT(expected(queries[5]).size(), 0u);
    EXPECT_GT(expected(queries[8]).size(), 10u);
    EXPECT_EQ(expected(queries[11]).size(), 50u);
}

TEST_F(CatalogueSearch, APassedDeadlineStopsEveryKindOfKey)
{
    auto past = std::chrono::steady_clock::now() - std::chrono::milliseconds(1);
    for (const char* key : {"电", "电影", "lecture 1", "no such words"}) {
        SearchQuery query;
        query.key = key;
        EXPECT_THROW(catalogue_->search(query, past), SearchDeadlineExceeded) << key;
    }
}

// Every substring of each name, written as stored, in capitals and folded, finds exactly the
// names whose folded form holds the folded substring.
TEST(CatalogueLetterCase, OneRuleForEveryKeyLength)
{
    struct Name {
        std::string stored, capitals, folded;  // the same number of characters each
    };
    const std::vector<Name> names = {
        {"Café Déjà Vu", "CAFÉ DÉJÀ VU", "café déjà vu"},
        {"Ελληνικά Μαθήματα", "ΕΛΛΗΝΙΚΆ ΜΑΘΉΜΑΤΑ", "ελληνικά μαθήματα"},
        {"Λόγος και ΟΔΟΣ", "ΛΌΓΟΣ ΚΑΙ ΟΔΟΣ", "λόγοσ και οδοσ"},
        {"Ｆｕｌｌ Ｗｉｄｔｈ 全角ｃａｆé", "ＦＵＬＬ ＷＩＤＴＨ 全角ＣＡＦÉ", "ｆｕｌｌ ｗｉｄｔｈ 全角ｃａｆé"},
        {"plain cafe ascii", "PLAIN CAFE ASCII", "plain cafe ascii"},
    };
    TempDir dir;
    Catalogue catalogue(dir.file("case.sqlite"));
    for (std::size_t i = 0; i < names.size(); ++i) {
        Share share;
        share.name = names[i].stored;
        share.size = i;
        share.shareid = i + 1;
        share.uk = 1;
        catalogue.add(share);
    }
    auto characters = [](const std::string& text) {
        std::vector<std::string> out;
        for (std::size_t i = 0; i < text.size(); ++i) {
            if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80)
                out.emplace_back();
            out.back() += text[i];
        }
        return out;
    };
    auto joined = [](const std::vector<std::string>& parts, std::size_t from, std::size_t to) {
        std::string text;
        for (std::size_t i = from; i < to; ++i)
            text += parts[i];
        return text;
    };
    std::size_t searches = 0;
    for (const Name& name : names) {
        std::vector<std::vector<std::string>> forms = {characters(name.stored), characters(name.capitals),
                                                       characters(name.folded)};
        ASSERT_EQ(forms[0].size(), forms[1].size()) << name.stored;
        ASSERT_EQ(forms[0].size(), forms[2].size()) << name.stored;
        for (std::size_t from = 0; from < forms[0].size(); ++from) {
            for (std::size_t to = from + 1; to <= forms[0].size(); ++to) {
                std::string folded_key = joined(forms[2], from, to);
                std::vector<std::string> want;
                for (const Name& other : names)
                    if (other.folded.find(folded_key) != std::string::npos)
                        want.push_back(other.stored);
                for (const auto& form : forms) {
                    SearchQuery query;
                    query.key = joined(form, from, to);
                    std::vector<std::string> got;
                    for (const Share& share : catalogue.search(query))
                        got.push_back(share.name);
                    EXPECT_EQ(got, want) << "key '" << query.key << "'";
                    ++searches;
                }
            }
        }
    }
    EXPECT_GT(searches, 1000u);
}

}  // namespace
}  // namespace cumulo::server
