#include "index/search_query.h"

#include <gtest/gtest.h>

namespace cumulo::server {
namespace {

struct GoodCase {
    const char* raw;
    SearchQuery expected;
};

TEST(SearchQuery, ReadsEveryParameter)
{
    const GoodCase cases[] = {
        {"key=abc&limit=200&sort=size&desc=f&start=0&in=", {"abc", 200, false, 0, std::nullopt}},
        {"key=%E4%B8%AD%E6%96%87&limit=5&sort=size&desc=t&start=40&in=folder", {"中文", 5, true, 40, ShareType::folder}},
        {"key=abc", {"abc", 200, false, 0, std::nullopt}},
        {"key=a+b&in=album", {"a b", 200, false, 0, ShareType::album}},
        {"key=x&in=file&limit=0", {"x", 0, false, 0, ShareType::file}},
        {"key=x&limit=201", {"x", 200, false, 0, std::nullopt}},
        {"key=x&limit=99999999999999999999999", {"x", 200, false, 0, std::nullopt}},
        {"key=x&start=9800", {"x", 200, false, 9800, std::nullopt}},
        {"key=x&limit=1&start=9999", {"x", 1, false, 9999, std::nullopt}},
        {"key=x&limit=0&start=10000", {"x", 0, false, 10000, std::nullopt}},
        {"&&key=%22%5C%27&other=ignored&", {"\"\\'", 200, false, 0, std::nullopt}},
        {"key=%F0%A0%AE%B7", {"𠮷", 200, false, 0, std::nullopt}},
    };
    for (const auto& c : cases) {
        ParsedSearchQuery parsed = parse_search_query(c.raw);
        ASSERT_TRUE(parsed.query) << c.raw << ": " << parsed.error;
        EXPECT_EQ(*parsed.query, c.expected) << c.raw;
    }
}

TEST(SearchQuery, RefusesBadParametersWithAReason)
{
    const std::string long_key = "key=" + std::string(max_key_bytes + 1, 'a');
    const std::pair<std::string, const char*> cases[] = {
        {"", "'key' is missing"},
        {"limit=5", "'key' is missing"},
        {"key=", "'key' is empty"},
        {long_key, "longer than"},
        {"key=%FF%FE", "not UTF-8"},
        {"key=%C0%AF", "not UTF-8"},          // overlong '/'
        {"key=%ED%A0%80", "not UTF-8"},       // a lone surrogate
        {"key=a%00b", "not UTF-8"},
        {"key=%ZZ", "malformed percent escape"},
        {"key=abc%E", "malformed percent escape"},
        {"key=abc&limit=", "'limit'"},
        {"key=abc&limit=-1", "'limit'"},
        {"key=abc&limit=1e3", "'limit'"},
        {"key=abc&sort=name", "'sort'"},
        {"key=abc&desc=true", "'desc'"},
        {"key=abc&start=-3", "'start'"},
        {"key=abc&start=9801", "'start' + 'limit' must be at most 10000"},
        {"key=abc&limit=2&start=9999", "'start' + 'limit'"},
        {"key=%20&start=1000000000", "'start' + 'limit'"},
        {"key=abc&start=18446744073709551617", "'start' + 'limit'"},
        {"key=abc&in=video", "'in'"},
        {"key=abc&in=FILE", "'in'"},
        {"key=abc&key=def", "more than once"},
    };
    for (const auto& [raw, reason] : cases) {
        ParsedSearchQuery parsed = parse_search_query(raw);
        EXPECT_FALSE(parsed.query) << raw;
        EXPECT_NE(parsed.error.find(reason), std::string::npos) << raw << " -> " << parsed.error;
    }
}

}  // namespace
}  // namespace cumulo::server
