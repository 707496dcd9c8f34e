// The pieces of the pages that need no server: escaping, addresses, the search page's
// request, the similar-names key.
#include "pages/html_text.h"
#include "pages/search_page.h"
#include "pages/share_page.h"

#include <gtest/gtest.h>

namespace cumulo::server {
namespace {

TEST(PageText, EscapesEveryMarkupCharacterAndEncodesAddresses)
{
    EXPECT_EQ(html_escaped(R"x(<img src=x onerror="a('b')">&amp;)x"),
              "&lt;img src=x onerror=&quot;a(&#39;b&#39;)&quot;&gt;&amp;amp;");
    EXPECT_EQ(html_escaped("三体 🎬"), "三体 🎬");
    EXPECT_EQ(html_escaped(std::string("a\xFF<\0b", 5)), "a\uFFFD&lt;\uFFFDb");  // written by other tools
    EXPECT_EQ(query_encoded("a b&c=d/三~._-"), "a%20b%26c%3Dd%2F%E4%B8%89~._-");
}

TEST(PageText, SizesAreTheWindowsWithNothingForAnUnknownSize)
{
    EXPECT_EQ(size_text(0), "");
    EXPECT_EQ(size_text(532), "532 bytes");
    EXPECT_EQ(size_text(2400016), "2.28 MB");
    EXPECT_EQ(size_text(5368709120ull), "5.00 GB");
    EXPECT_EQ(grouped_digits(5368709120ull), "5,368,709,120");
    EXPECT_EQ(grouped_digits(999), "999");
    EXPECT_EQ(grouped_digits(1000), "1,000");
}

TEST(PageText, ShareAddressesAreTheWindows)
{
    Share numeric{"n", ShareType::file, 1, 1000000123, "", 42};
    Share coded{"c", ShareType::file, 1, 0, "aB_-9", 42};
    EXPECT_EQ(share_path(numeric), "/share/link?uk=42&shareid=1000000123");
    EXPECT_EQ(share_path(coded), "/s/aB_-9");
}

TEST(SearchPageRequest, ReadsTheFormsAddress)
{
    struct Case {
        std::string query;
        SearchPageRequest request;
        bool refused = false;
    };
    const Case cases[] = {
        {"", {}},
        {"key=%E4%B8%89%E4%BD%93&in=&desc=f", {"三体", std::nullopt, false, 1}},
        {"key=+Linux++&in=folder&desc=t&page=3", {"Linux", ShareType::folder, true, 3}},
        {"key=a&key=b&page=2&page=9", {"a", std::nullopt, false, 2}},  // a form never repeats one: the first counts
        {"key=a&desc=yes&other=1", {"a", std::nullopt, false, 1}},
        {"key=a&page=500", {"a", std::nullopt, false, 500}},
        {"key=a&page=501", {"a"}, true},
        {"key=a&page=0", {"a"}, true},
        {"key=a&page=-1", {"a"}, true},
        {"key=a&in=video", {"a"}, true},
        {"key=%FF", {}, true},
        {"key=%", {}, true},
        {"key=" + std::string(max_key_bytes + 1, 'x'), {}, true},
    };
    for (const Case& c : cases) {
        ParsedSearchPage parsed = parse_search_page(c.query);
        EXPECT_EQ(!parsed.error.empty(), c.refused) << c.query << ": " << parsed.error;
        if (!c.refused)
            EXPECT_EQ(parsed.request, c.request) << c.query;
        EXPECT_EQ(parsed.request.key, c.request.key) << c.query;
    }
}

TEST(SearchPageRequest, AsksOneRowMoreAndReachesTheDeepestRow)
{
    SearchPageRequest first{"k", ShareType::album, true, 1};
    SearchQuery query = search_query_of(first);
    EXPECT_EQ(query.start, 0u);
    EXPECT_EQ(query.limit, rows_per_page + 1);
    EXPECT_EQ(query.type, ShareType::album);
    EXPECT_TRUE(query.descending);

    SearchPageRequest last{"k", std::nullopt, false, last_page};
    query = search_query_of(last);
    EXPECT_EQ(query.start + query.limit, max_window) << "the last page stops at the service's cap";
    EXPECT_EQ(query.limit, rows_per_page);

    EXPECT_EQ(search_address(first), "/?key=k&in=album&desc=t");
    EXPECT_EQ(search_address({"a&b 三", std::nullopt, false, 7}), "/?key=a%26b%20%E4%B8%89&in=&desc=f&page=7");
    // The address reads back as the same request.
    for (const SearchPageRequest& request : {first, last}) {
        std::string address = search_address(request);
        EXPECT_EQ(parse_search_page(address.substr(2)).request, request) << address;
    }
}

TEST(SimilarKey, KeepsTheNamesSubject)
{
    struct Case {
        std::string name, key;
    };
    const Case cases[] = {
        {"三体第12集 高清.mp4", "三体"},
        {"【1080P】三体 全27集", "三体"},
        {"2015年考研英语真题.pdf", "考研英语真题"},
        {"考研英语_真题_v3.pdf", "考研英语"},
        {"The Silent River (2003) 4K.mkv", "The Silent River"},
        {"Linux Lecture 12.pdf", "Linux"},
        {"三体 电影版 高清.mkv", "三体"},
        {"2019", "2019"},                   // nothing left but the number: the name itself
        {"a.pdf", "a"},                     // too short to cut: the stem
        {"<b>坏名字</b>", "<b>坏名字</b>"},   // escaping is the page's job, not this one's
    };
    for (const Case& c : cases)
        EXPECT_EQ(similar_key(c.name), c.key) << c.name;
}

}  // namespace
}  // namespace cumulo::server
