#include "catalogue/catalogue.h"
#include "catalogue/sample_catalogue.h"

#include "temp_dir.h"

#include <gtest/gtest.h>

#include <set>
#include <vector>

namespace cumulo::server {
namespace {

std::vector<Share> sample_of(std::uint64_t count)
{
    std::vector<Share> shares;
    generate_sample_shares(count, [&](const Share& share) { shares.push_back(share); });
    return shares;
}

TEST(SampleCatalogue, IsTheSameEveryTime)
{
    std::vector<Share> first = sample_of(3000);
    EXPECT_EQ(first, sample_of(3000));
    std::vector<Share> longer = sample_of(3100);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), longer.begin()));
}

TEST(SampleCatalogue, CoversWhatTheClientMustHandle)
{
    std::vector<Share> shares = sample_of(default_sample_size);
    std::set<ShareType> types;
    std::set<char> specials;
    bool numeric = false, coded = false, huge_folder = false, tiny = false, beyond_bmp = false, type_word_in_name = false;
    constexpr std::uint64_t megabyte = 1ull << 20;
    for (const Share& share : shares) {
        ASSERT_EQ(share_problem(share), "") << share.name;
        types.insert(share.type);
        for (char c : std::string("\"\\'\t"))
            if (share.name.find(c) != std::string::npos)
                specials.insert(c);
        numeric |= share.shareid != 0;
        coded |= !share.code.empty();
        huge_folder |= share.type == ShareType::folder && share.size > (4ull << 30);
        tiny |= share.size < 1024;
        beyond_bmp |= share.name.find("\xF0") != std::string::npos;
        type_word_in_name |= share.name.find("file") != std::string::npos || share.name.find("album") != std::string::npos;
        // Sizes as real shares have them: no film of a few KB, no document of gigabytes.
        bool video = share.type == ShareType::file && (share.name.ends_with(".mp4") || share.name.ends_with(".mkv"));
        bool document = share.type == ShareType::file
                        && (share.name.ends_with(".pdf") || share.name.ends_with(".docx") || share.name.ends_with(".epub"));
        if (video)
            EXPECT_GE(share.size, 150 * megabyte) << share.name;
        if (document)
            EXPECT_LE(share.size, 80 * megabyte) << share.name;
        if (share.type == ShareType::album)
            EXPECT_GE(share.size, 15 * megabyte) << share.name;
    }
    EXPECT_EQ(types.size(), 3u);
    EXPECT_EQ(specials.size(), 4u);
    EXPECT_TRUE(numeric && coded && huge_folder && tiny && beyond_bmp && type_word_in_name);
}

TEST(SampleCatalogue, FillsTheCatalogueOnceAndIsSearchable)
{
    TempDir dir;
    Catalogue catalogue(dir.file("sample.sqlite"));
    build_sample_catalogue(catalogue, default_sample_size);
    // Every share went in, so no two share ids or codes collide.
    EXPECT_EQ(catalogue.share_count(), default_sample_size);

    SearchQuery query;
    query.key = "考研英语";
    EXPECT_GT(catalogue.search(query).size(), 10u);
    query.key = "电影";
    EXPECT_GT(catalogue.search(query).size(), 0u);

    // A second build of the same size keeps the catalogue; another size replaces it.
    build_sample_catalogue(catalogue, default_sample_size);
    EXPECT_EQ(catalogue.share_count(), default_sample_size);
    build_sample_catalogue(catalogue, 500);
    EXPECT_EQ(catalogue.share_count(), 500u);
}

}  // namespace
}  // namespace cumulo::server
