// The service over HTTP, in-process on a free port, against a small hand-made catalogue.
#include "catalogue/catalogue.h"
#include "catalogue/catalogue_import.h"
#include "service.h"
#include "text/utf8.h"

#include "served_catalogue.h"
#include "temp_dir.h"

#include <httplib.h>
#include <rapidjson/document.h>

#include <gtest/gtest.h>

#include <sstream>
#include <thread>

namespace cumulo::server {
namespace {

struct Row {
    std::string name, type, size, id;
    bool operator==(const Row&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Row& row)
{
    return out << '{' << row.name << ", " << row.type << ", " << row.size << ", " << row.id << '}';
}

class ApiTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dir_ = new TempDir;
        std::string path = dir_->file("api.sqlite");
        {
            Catalogue catalogue(path);
            std::ostringstream lines;
            lines << R"({"name":"电影合集 高清","type":"folder","size":5368709120,"shareid":101,"uk":9001})" "\n"
                  << R"({"name":"电影原声 album","type":"album","size":314572800,"code":"abcDEF","uk":9002})" "\n"
                  << R"({"name":"电影.mp4","type":"file","size":734003200,"shareid":102,"uk":9001})" "\n"
                  << R"({"name":"Say \"Hi\" \\ path\tTab","type":"file","size":12,"shareid":103,"uk":9003})" "\n"
                  << R"({"name":"𠮷野家 🎬 <b>&","type":"file","size":42,"code":"zz_top","uk":9004})" "\n"
                  << R"({"name":"100% 纯净版","type":"file","size":7,"shareid":104,"uk":9003})" "\n"
                  << R"({"name":"wrapped owner","type":"file","size":8,"shareid":105,"uk":1019346117})" "\n";
            // 250 shares named "bulk item NNN" of size NNN, to try the limit and the offset.
            for (int i = 0; i < 250; ++i) {
                char line[160];
                std::snprintf(line, sizeof line,
                              R"({"name":"bulk item %03d","type":"file","size":%d,"shareid":%d,"uk":1})" "\n", i, i,
                              1000 + i);
                lines << line;
            }
            lines << R"({"name":"outside one","type":"file","size":9,"shareid":106,"uk":9005})" "\n"
                  << R"({"name":"outside two","type":"file","size":9,"shareid":107,"uk":9005})" "\n";
            std::istringstream input(lines.str());
            ImportReport report = import_shares(catalogue, input);
            ASSERT_TRUE(report.bad_lines.empty()) << report.bad_lines[0].number << ": " << report.bad_lines[0].reason;
        }
        // Names as another program may write them: bytes that are not UTF-8 ("outside \xFF\xFE
        // written") and a NUL ("outside nul\0 name").
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db,
                               "UPDATE shares SET name = CAST(X'6f75747369646520fffe207772697474656e' AS TEXT)"
                               " WHERE shareid = 106;"
                               "UPDATE shares SET name = CAST(X'6f757473696465206e756c00206e616d65' AS TEXT)"
                               " WHERE shareid = 107;",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(db);
        served_ = new ServedCatalogue(path);
        port_ = served_->port;
        ASSERT_GT(port_, 0);
    }

    static void TearDownTestSuite()
    {
        delete served_;
        delete dir_;
    }

    static httplib::Result get(const std::string& target)
    {
        httplib::Client client("127.0.0.1", port_);
        client.set_url_encode(false);  // the targets here are sent exactly as written
        return client.Get(target.c_str());
    }

    static std::vector<Row> rows_of(const std::string& body)
    {
        rapidjson::Document document;
        document.Parse(body.c_str());
        std::vector<Row> rows;
        if (document.HasParseError() || !document.IsObject() || !document["list"].IsArray()) {
            ADD_FAILURE() << "not an answer: " << body;
            return rows;
        }
        for (const auto& element : document["list"].GetArray())
            rows.push_back({element["name"].GetString(), element["type"].GetString(), element["size"].GetString(),
                            element["idAuk"].GetString()});
        return rows;
    }

    static std::vector<std::string> names_for(const std::string& query)
    {
        auto result = get("/api/v1/?" + query);
        std::vector<std::string> names;
        if (!result || result->status != 200) {
            ADD_FAILURE() << query << ": status " << (result ? result->status : -1);
            return names;
        }
        for (const Row& row : rows_of(result->body))
            names.push_back(row.name);
        return names;
    }

    static std::string bulk(int i)
    {
        char name[32];
        std::snprintf(name, sizeof name, "bulk item %03d", i);
        return name;
    }

    static inline TempDir* dir_ = nullptr;
    static inline ServedCatalogue* served_ = nullptr;
    static inline int port_ = 0;
};

const char* const movie = "%E7%94%B5%E5%BD%B1";  // 电影: two characters, below the trigram index

TEST_F(ApiTest, FiltersAndOrdersBySize)
{
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {std::string("key=") + movie + "&limit=200&sort=size&desc=f&start=0&in=",
         {"电影原声 album", "电影.mp4", "电影合集 高清"}},
        {std::string("key=") + movie + "&limit=200&sort=size&desc=t&start=0&in=",
         {"电影合集 高清", "电影.mp4", "电影原声 album"}},
        {std::string("key=") + movie + "&in=album", {"电影原声 album"}},
        {std::string("key=") + movie + "&in=file", {"电影.mp4"}},
        {std::string("key=") + movie + "&in=folder", {"电影合集 高清"}},
        {"key=%E5%BD%B1%E5%90%88", {"电影合集 高清"}},                            // 影合: a substring in the middle
        {"key=%E7%94%B5%E5%BD%B1%E5%90%88%E9%9B%86", {"电影合集 高清"}},          // 电影合集, through the index
        {"key=%E9%AB%98%E6%B8%85&in=file", {}},
        {"key=%22Hi%22", {"Say \"Hi\" \\ path\tTab"}},                             // quotes inside the phrase
        {"key=%5C+path", {"Say \"Hi\" \\ path\tTab"}},
        {"key=%25", {"100% 纯净版"}},                                            // LIKE wildcards are literal
        {"key=_", {}},
        {"key=%F0%A0%AE%B7", {"𠮷野家 🎬 <b>&"}},
        {"key=BULK+ITEM+00&desc=t&limit=3", {bulk(9), bulk(8), bulk(7)}},      // letter case does not matter
        {"key=bulk&limit=3&start=10", {bulk(10), bulk(11), bulk(12)}},
        {"key=bulk&limit=3&start=10&desc=t", {bulk(239), bulk(238), bulk(237)}},
        {"key=bulk&start=249", {bulk(249)}},
        {"key=bulk&start=250", {}},
        {"key=bulk&limit=0", {}},
        {"key=nothing+like+this", {}},
    };
    for (const auto& [query, expected] : cases)
        EXPECT_EQ(names_for(query), expected) << query;
}

TEST_F(ApiTest, CapsTheLimitAt200)
{
    EXPECT_EQ(names_for("key=bulk").size(), 200u);
    EXPECT_EQ(names_for("key=bulk&limit=1000").size(), 200u);
    std::vector<std::string> names = names_for("key=bulk&limit=199");
    ASSERT_EQ(names.size(), 199u);
    EXPECT_EQ(names.front(), bulk(0));
    EXPECT_EQ(names.back(), bulk(198));
}

TEST_F(ApiTest, AnswersInEscapedAsciiWithSizesAsDigitsAndIds)
{
    auto result = get("/api/v1/?key=Say&limit=200&sort=size&desc=f&start=0&in=");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->body,
              R"({"list":[{"name":"Say \"Hi\" \\ path\tTab","type":"file","size":"12","idAuk":"103|9003"}]})");

    result = get("/api/v1/?key=%F0%A0%AE%B7");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->body,
              R"({"list":[{"name":"\ud842\udfb7\u91ce\u5bb6 \ud83c\udfac <b>&","type":"file","size":"42","idAuk":"zz_top|9004"}]})");
    EXPECT_EQ(result->get_header_value("Content-Type"), "application/json; charset=utf-8");

    auto rows = rows_of(get(std::string("/api/v1/?key=") + movie + "&desc=t")->body);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0], (Row{"电影合集 高清", "folder", "5368709120", "101|9001"}));
    EXPECT_EQ(rows[2], (Row{"电影原声 album", "album", "314572800", "abcDEF|9002"}));
}

TEST_F(ApiTest, RefusesBadParametersWithJson400)
{
    for (std::string query : {"", "?limit=5", "?key=", "?key=%ZZ", "?key=%FF", "?key=abc&limit=x", "?key=abc&desc=yes",
                              "?key=abc&sort=name", "?key=abc&start=-1", "?key=abc&in=video", "?key=a&key=b"}) {
        auto result = get("/api/v1/" + query);
        ASSERT_TRUE(result) << query;
        EXPECT_EQ(result->status, 400) << query;
        rapidjson::Document document;
        document.Parse(result->body.c_str());
        EXPECT_TRUE(document.IsObject() && document.HasMember("error") && document["error"].IsString())
            << query << ": " << result->body;
    }
    auto long_key = get("/api/v1/?key=" + std::string(4000, 'a'));
    ASSERT_TRUE(long_key);
    EXPECT_EQ(long_key->status, 400);
    auto unknown = get("/api/v2/?key=abc");
    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown->status, 404);
    EXPECT_EQ(unknown->body, R"({"error":"no such resource"})");
}

TEST_F(ApiTest, ServesSharePages)
{
    struct Case {
        std::string target;
        int status;
        std::vector<std::string> shown;
    };
    const Case cases[] = {
        {"/share/link?uk=9001&shareid=101", 200, {"<h1>电影合集 高清</h1>", "文件夹", "5.00 GB", "5,368,709,120 字节"}},
        {"/share/link?shareid=103&uk=9003", 200, {"Say &quot;Hi&quot; \\ path\tTab", "12 bytes"}},
        {"/s/zz_top", 200, {"𠮷野家 🎬 &lt;b&gt;&amp;", "文件"}},
        {"/s/abcDEF", 200, {"电影原声 album", "相册", "300 MB"}},
        {"/share/link?uk=9002&shareid=101", 404, {"这个分享不存在"}},
        {"/s/abcdef", 404, {"这个分享不存在"}},
        {"/s/1abc", 404, {}},
        {"/s/", 404, {}},
        {"/share/link?uk=abc&shareid=101", 400, {}},
        {"/share/link?shareid=101", 400, {}},
        {"/share/link?uk=9001&shareid=99999999999999999999", 400, {}},
        {"/share/link?uk=1019346117&shareid=105", 200, {"wrapped owner"}},
        {"/share/link?uk=18446744074728897733&shareid=105", 400, {}},  // the same uk plus 2^64
    };
    for (const auto& c : cases) {
        auto result = get(c.target);
        ASSERT_TRUE(result) << c.target;
        EXPECT_EQ(result->status, c.status) << c.target;
        EXPECT_EQ(result->get_header_value("Content-Type"), "text/html; charset=utf-8") << c.target;
        for (const auto& text : c.shown)
            EXPECT_NE(result->body.find(text), std::string::npos) << c.target << " lacks " << text << ":\n" << result->body;
    }
}

TEST_F(ApiTest, ServesTheSearchPage)
{
    struct Case {
        std::string target;
        int status;
        std::vector<std::string> shown;
        std::vector<std::string> absent;
    };
    const Case cases[] = {
        {"/", 200, {"<html lang=\"zh-CN\">", "<meta charset=\"utf-8\">", "name=\"key\"", ">默认<", ">文件夹<"}, {"<table"}},
        {"/?key=%E7%94%B5%E5%BD%B1&in=&desc=t", 200,  // 电影, largest first
         {"找到 3 个资源", "<a href=\"/share/link?uk=9001&amp;shareid=101\">电影合集 高清</a></td><td class=\"type\">文件夹</td>"
          "<td class=\"size\">5.00 GB</td>", "<a href=\"/s/abcDEF\">", "aria-sort=\"descending\"",
          "<option value=\"t\" selected>"},
         {"rel=\"next\""}},
        {"/?key=%3Cb%3E", 200, {"𠮷野家 🎬 &lt;b&gt;&amp;", "value=\"&lt;b&gt;\"", "“&lt;b&gt;”"}, {"<b>"}},
        {"/?key=bulk&in=file&desc=f", 200,
         {"第 1 页，第 1–20 个资源", "<td class=\"num\">20</td><td class=\"name\"><a href=\"/share/link?uk=1&amp;shareid=1019\">",
          "rel=\"next\" href=\"/?key=bulk&amp;in=file&amp;desc=f&amp;page=2\""},
         {"rel=\"prev\""}},
        {"/?key=bulk&in=file&desc=f&page=13", 200,  // 250 rows: the last page holds ten
         {"第 13 页，第 241–250 个资源", "<td class=\"num\">250</td>", "rel=\"prev\""}, {"rel=\"next\""}},
        {"/?key=bulk&page=14", 200, {"没有第 14 页的结果", "rel=\"prev\""}, {"<table"}},
        {"/?key=no-such-thing", 200, {"没有找到名称含有“no-such-thing”的资源"}, {"<table"}},
        {"/?key=bulk&in=video", 400, {"资源类型只能是", "value=\"bulk\""}, {"<table"}},
        {"/?key=bulk&page=99999", 400, {"页码应在 1 到 500 之间"}, {}},
        {"/nothing/here", 404, {"找不到这个页面", "<a href=\"/\">"}, {}},
    };
    for (const auto& c : cases) {
        auto result = get(c.target);
        ASSERT_TRUE(result) << c.target;
        EXPECT_EQ(result->status, c.status) << c.target;
        EXPECT_EQ(result->get_header_value("Content-Type"), "text/html; charset=utf-8") << c.target;
        EXPECT_NE(result->get_header_value("Content-Security-Policy").find("default-src 'none'"), std::string::npos);
        for (const auto& text : c.shown)
            EXPECT_NE(result->body.find(text), std::string::npos) << c.target << " lacks " << text << ":\n" << result->body;
        for (const auto& text : c.absent)
            EXPECT_EQ(result->body.find(text), std::string::npos) << c.target << " has " << text << ":\n" << result->body;
    }
    // The API keeps answering in JSON, also for what it does not know.
    auto api_missing = get("/api/v2/");
    ASSERT_TRUE(api_missing);
    EXPECT_EQ(api_missing->get_header_value("Content-Type"), "application/json; charset=utf-8");
}

TEST_F(ApiTest, ServesAssetsUnderHashedNamesForAYear)
{
    auto page = get("/");
    ASSERT_TRUE(page);
    for (const std::string attribute : {"<link rel=\"stylesheet\" href=\"", "<script src=\"", "<link rel=\"icon\" type=\"image/svg+xml\" href=\""}) {
        std::size_t at = page->body.find(attribute);
        ASSERT_NE(at, std::string::npos) << attribute;
        at += attribute.size();
        std::string path = page->body.substr(at, page->body.find('"', at) - at);
        EXPECT_TRUE(path.starts_with("/static/")) << path;

        auto asset = get(path);
        ASSERT_TRUE(asset) << path;
        EXPECT_EQ(asset->status, 200) << path;
        EXPECT_FALSE(asset->body.empty()) << path;
        EXPECT_EQ(asset->get_header_value("Cache-Control"), "public, max-age=31536000, immutable");
        std::string etag = asset->get_header_value("ETag");
        ASSERT_FALSE(etag.empty()) << path;
        EXPECT_NE(path.find(etag.substr(1, etag.size() - 2)), std::string::npos) << "the name holds the hash";

        httplib::Client client("127.0.0.1", port_);
        for (const std::string& held : {etag, "W/" + etag, "\"other\", " + etag, std::string("*")}) {
            auto again = client.Get(path.c_str(), {{"If-None-Match", held}});
            ASSERT_TRUE(again) << held;
            EXPECT_EQ(again->status, 304) << held;
            EXPECT_TRUE(again->body.empty()) << held;
        }
        auto changed = client.Get(path.c_str(), {{"If-None-Match", "\"other\""}});
        ASSERT_TRUE(changed);
        EXPECT_EQ(changed->status, 200);
        EXPECT_EQ(changed->body, asset->body);
    }
    auto old_name = get("/static/site.000000000000.css");
    ASSERT_TRUE(old_name);
    EXPECT_EQ(old_name->status, 404);
}

// Which requests the front door keeps off the search workers' turns: those answered in little
// time whatever the catalogue holds.
TEST_F(ApiTest, TellsCheapRequestsFromSearchesThatMayTakeLong)
{
    const std::pair<std::string, bool> cases[] = {
        {"/share/link?uk=9001&shareid=101", true},
        {"/s/zz_top", true},
        {"/api/v1/?key=a&limit=200", true},
        {std::string("/api/v1/?key=") + movie + "&desc=t", true},  // two characters: one list
        {"/api/v1/?key=AB", true},
        {"/api/v1/?key=", true},  // refused at once
        {"/nowhere", true},
        {"/api/v1/?key=abc", false},
        {"/api/v1?key=%E7%94%B5%E5%BD%B1%E5%90%88", false},
        // The search page searches as the API does.
        {"/", true},
        {"/?key=AB&in=&desc=f", true},
        {"/?key=abc&page=0", true},  // refused at once
        {"/?key=abc&in=&desc=f&page=2", false},
        {"/static/site.0.css", true},
    };
    for (const auto& [target, cheap] : cases)
        EXPECT_EQ(served_->service.is_cheap(target), cheap) << target;
}

// A name that is not UTF-8 comes out of every answer with U+FFFD in place of each byte that is
// not part of a character, and of each NUL: the same text in the JSON and on the page.
TEST_F(ApiTest, ShowsNamesWrittenByOtherToolsAlikeEverywhere)
{
    struct Case {
        std::string search, page, shown;
    };
    const Case cases[] = {
        {"key=written", "/share/link?uk=9005&shareid=106", "outside \uFFFD\uFFFD written"},
        {"key=nul", "/share/link?uk=9005&shareid=107", "outside nul\uFFFD name"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.shown);
        EXPECT_EQ(names_for(c.search), std::vector<std::string>{c.shown});
        auto result = get(c.page);
        ASSERT_TRUE(result);
        EXPECT_EQ(result->status, 200);
        EXPECT_NE(result->body.find("<h1>" + c.shown + "</h1>"), std::string::npos) << result->body;
        EXPECT_NE(result->body.find("<title>" + c.shown + " - "), std::string::npos) << result->body;
        EXPECT_TRUE(is_valid_utf8(result->body));
        EXPECT_EQ(result->body.find('\0'), std::string::npos);
    }
}

}  // namespace
}  // namespace cumulo::server
