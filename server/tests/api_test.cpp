// The service over HTTP, in-process on a free port, against a small hand-made catalogue.
#include "catalogue/catalogue_import.h"
#include "service.h"

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
            std::istringstream input(lines.str());
            ImportReport report = import_shares(catalogue, input);
            ASSERT_TRUE(report.bad_lines.empty()) << report.bad_lines[0].number << ": " << report.bad_lines[0].reason;
        }
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
        {"/share/link?uk=9001&shareid=101", 200, {"<h1>电影合集 高清</h1>", "文件夹", "5.0 GB", "5368709120"}},
        {"/share/link?shareid=103&uk=9003", 200, {"Say &quot;Hi&quot; \\ path\tTab", "12 B"}},
        {"/s/zz_top", 200, {"𠮷野家 🎬 &lt;b&gt;&amp;", "文件"}},
        {"/s/abcDEF", 200, {"电影原声 album", "相册", "300 MB"}},
        {"/share/link?uk=9002&shareid=101", 404, {"no such share"}},
        {"/s/abcdef", 404, {"no such share"}},
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

}  // namespace
}  // namespace cumulo::server
