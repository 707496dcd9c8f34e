#include "catalogue/catalogue.h"
#include "catalogue/catalogue_import.h"

#include "temp_dir.h"

#include <gtest/gtest.h>

#include <sstream>

namespace cumulo::server {
namespace {

TEST(ShareLine, ReadsNumbersAndCodes)
{
    const std::pair<const char*, Share> cases[] = {
        {R"({"name":"电影合集","type":"folder","size":5368709120,"shareid":123,"uk":456})",
         {"电影合集", ShareType::folder, 5368709120, 123, "", 456}},
        {R"({"name":"a\tb \"c\"","type":"file","size":"0","shareid":"9223372036854775807","uk":"7"})",
         {"a\tb \"c\"", ShareType::file, 0, 9223372036854775807ull, "", 7}},
        {R"( {"uk":1,"code":"xY_-9","size":10,"type":"album","name":"\ud842\udfb7","extra":[1]} )",
         {"𠮷", ShareType::album, 10, 0, "xY_-9", 1}},
    };
    for (const auto& [line, expected] : cases) {
        ParsedShareLine parsed = parse_share_line(line);
        EXPECT_EQ(parsed.error, "") << line;
        EXPECT_EQ(parsed.share, expected) << line;
    }
}

TEST(ShareLine, NamesWhatIsWrong)
{
    const std::pair<std::string, const char*> cases[] = {
        {"not json", "not valid JSON"},
        {R"({"name":"a","type":"file","size":1,"shareid":1,"uk":1} trailing)", "not valid JSON"},
        {R"(["name","a"])", "not a JSON object"},
        {R"({"type":"file","size":1,"shareid":1,"uk":1})", "\"name\" is missing"},
        {R"({"name":3,"type":"file","size":1,"shareid":1,"uk":1})", "\"name\" is not a string"},
        {R"({"name":"","type":"file","size":1,"shareid":1,"uk":1})", "name is empty"},
        {R"({"name":"a\u0000b","type":"file","size":1,"shareid":1,"uk":1})", "NUL"},
        {"{\"name\":\"bad \xFF\",\"type\":\"file\",\"size\":1,\"shareid\":1,\"uk\":1}", "not valid JSON"},
        {R"({"name":"a","type":"video","size":1,"shareid":1,"uk":1})", "\"type\" must be"},
        {R"({"name":"a","type":"file","size":-1,"shareid":1,"uk":1})", "\"size\" is not a number"},
        {R"({"name":"a","type":"file","size":1.5,"shareid":1,"uk":1})", "\"size\" is not a number"},
        {R"({"name":"a","type":"file","size":"12a","shareid":1,"uk":1})", "\"size\" is not a number"},
        {R"({"name":"a","type":"file","size":9223372036854775808,"shareid":1,"uk":1})", "\"size\" is too large"},
        {R"({"name":"a","type":"file","size":1,"shareid":"99999999999999999999999","uk":1})", "\"shareid\" is too large"},
        {R"({"name":"a","type":"file","size":"18446744073709551616","shareid":1,"uk":1})", "\"size\" is too large"},
        {R"({"name":"a","type":"file","size":"20000000000000000000","shareid":1,"uk":1})", "\"size\" is too large"},
        {R"({"name":"a","type":"file","size":18446744073709551616,"shareid":1,"uk":1})", "\"size\" is too large"},
        {R"({"name":"a","type":"file","size":1,"shareid":1,"uk":"18446744073709551617"})", "\"uk\" is too large"},
        {R"({"name":"a","type":"file","size":1,"shareid":"","uk":1})", "\"shareid\" is not a number"},
        {R"({"name":"a","type":"file","size":1,"uk":1})", "exactly one of"},
        {R"({"name":"a","type":"file","size":1,"shareid":1,"code":"abc","uk":1})", "exactly one of"},
        {R"({"name":"a","type":"file","size":1,"shareid":0,"uk":1})", "exactly one of"},
        {R"({"name":"a","type":"file","size":1,"code":"1abc","uk":1})", "code must be"},
        {R"({"name":"a","type":"file","size":1,"code":"ab|c","uk":1})", "code must be"},
        {R"({"name":"a","type":"file","size":1,"code":"","uk":1})", "exactly one of"},
        {R"({"name":"a","type":"file","size":1,"shareid":1,"uk":0})", "uk must be"},
        {R"({"name":"a","type":"file","size":1,"shareid":1})", "\"uk\" is missing"},
        {"{\"name\":\"" + std::string(max_name_bytes + 1, 'n') + R"(","type":"file","size":1,"shareid":1,"uk":1})",
         "longer than"},
        // A NUL byte ends no line: what follows it is part of the line, JSON or not.
        {R"({"name":"first half","type":"file","size":1,"shareid":1,"uk":1})" + std::string(1, '\0')
             + R"({"name":"second half","type":"file","size":1,"shareid":2,"uk":1})",
         "NUL byte at byte 64"},
        {R"({"name":"a","type":"file","size":1,"shareid":1,"uk":1})" + std::string(1, '\0') + " this is not JSON ]]]",
         "NUL byte at byte 55"},
        {R"({"name":"a)" + std::string(1, '\0') + R"(b","type":"file","size":1,"shareid":1,"uk":1})", "NUL byte at byte 11"},
        {std::string(1, '\0'), "NUL byte at byte 1"},
    };
    for (const auto& [line, reason] : cases) {
        ParsedShareLine parsed = parse_share_line(line);
        EXPECT_NE(parsed.error.find(reason), std::string::npos) << line << " -> '" << parsed.error << "'";
    }
}

// A removal's line is read as strictly: a NUL hides no second identity behind the first.
TEST(IdentityLine, NamesWhatIsWrong)
{
    const std::pair<std::string, const char*> cases[] = {
        {R"({"shareid":1,"uk":1})" + std::string(1, '\0') + R"({"shareid":2,"uk":1})", "NUL byte at byte 21"},
        {R"({"code":"abc"})" + std::string(1, '\0'), "NUL byte at byte 15"},
        {R"({"shareid":1})", "\"uk\" is missing"},
        {R"({"code":"1abc"})", "code must be"},
    };
    for (const auto& [line, reason] : cases) {
        ParsedShareLine parsed = parse_identity_line(line);
        EXPECT_NE(parsed.error.find(reason), std::string::npos) << line << " -> '" << parsed.error << "'";
    }
}

// Each case runs twice: the input streamed as it is written (an import), and read whole before
// it is written (a write request, whose shares the index takes in meanwhile).
class ImportTest : public ::testing::TestWithParam<bool> {
protected:
    TempDir dir;
    Catalogue catalogue{dir.file("import.sqlite")};

    ImportReport import_text(const std::string& text)
    {
        std::istringstream input(text);
        bool read_first = GetParam();
        return read_first ? import_shares(catalogue, read_share_lines(input)) : import_shares(catalogue, input);
    }
    std::size_t hits(const std::string& key)
    {
        SearchQuery query;
        query.key = key;
        return catalogue.search(query).size();
    }
};

TEST_P(ImportTest, AddsEveryGoodLine)
{
    ImportReport report = import_text(
        "\xEF\xBB\xBF{\"name\":\"纪录片 蓝色星球\",\"type\":\"folder\",\"size\":1,\"shareid\":11,\"uk\":5}\r\n"
        "\n"
        "   \n"
        "{\"name\":\"Blue Planet.mkv\",\"type\":\"file\",\"size\":2,\"code\":\"bp\",\"uk\":5}\r\n"
        "{\"name\":\"蓝色星球相册\",\"type\":\"album\",\"size\":3,\"shareid\":11,\"uk\":6}");
    EXPECT_TRUE(report.bad_lines.empty());
    EXPECT_EQ(report.added, 3u);
    EXPECT_EQ(catalogue.share_count(), 3u);
    EXPECT_EQ(hits("蓝色星球"), 2u);
    EXPECT_EQ(hits("blue planet"), 1u);
    EXPECT_TRUE(catalogue.find_by_code("bp"));
    EXPECT_EQ(catalogue.find_by_id(11, 6)->name, "蓝色星球相册");
}

TEST_P(ImportTest, ReportsEveryBadLineAndAddsNothing)
{
    ASSERT_EQ(import_text(R"({"name":"kept","type":"file","size":1,"shareid":1,"uk":1})").added, 1u);

    std::string too_long = "{\"name\":\"" + std::string(max_line_bytes, 'x') + "\"}";
    ImportReport report = import_text(
        "{\"name\":\"new one\",\"type\":\"file\",\"size\":1,\"shareid\":2,\"uk\":1}\n"  // 1: good
        "{\"name\":\"broken\"\n"                                                      // 2
        "{\"name\":\"again\",\"type\":\"file\",\"size\":1,\"shareid\":1,\"uk\":1}\n"  // 3: replaces a stored one
        "\n"                                                                         // 4: blank
        + too_long + "\n"                                                            // 5
        "{\"name\":\"twin\",\"type\":\"file\",\"size\":1,\"code\":\"tw\",\"uk\":1}\n"  // 6: good
        "{\"name\":\"twin\",\"type\":\"file\",\"size\":1,\"code\":\"tw\",\"uk\":2}\n"  // 7: same code
        "{\"name\":\"cut\",\"type\":\"file\",\"size\":1,\"shareid\":3,\"uk\":1}" + std::string(1, '\0') + "]]]\n");  // 8
    ASSERT_EQ(report.bad_lines.size(), 4u);
    EXPECT_EQ(report.bad_lines[0].number, 2u);
    EXPECT_EQ(report.bad_lines[1].number, 5u);
    EXPECT_NE(report.bad_lines[1].reason.find("longer than"), std::string::npos);
    EXPECT_EQ(report.bad_lines[2].number, 7u);
    EXPECT_NE(report.bad_lines[2].reason.find("came earlier in the input"), std::string::npos);
    EXPECT_EQ(report.bad_lines[3].number, 8u);
    EXPECT_NE(report.bad_lines[3].reason.find("NUL byte"), std::string::npos);
    EXPECT_EQ(report.added + report.replaced, 0u);
    EXPECT_EQ(catalogue.share_count(), 1u);
    EXPECT_EQ(hits("new one"), 0u);
    EXPECT_EQ(hits("kept"), 1u);
    EXPECT_EQ(hits("again"), 0u);

    // Without the bad lines the stored share is replaced.
    report = import_text("{\"name\":\"again\",\"type\":\"file\",\"size\":1,\"shareid\":1,\"uk\":1}\n");
    EXPECT_EQ(report.replaced, 1u);
    EXPECT_EQ(hits("again"), 1u);
    EXPECT_EQ(hits("kept"), 0u);
}

TEST_P(ImportTest, CountsEveryBadLineAndKeepsOnlyTheFirstFew)
{
    std::string text;
    for (int i = 0; i < 5000; ++i)
        text += "not json\n";
    ImportReport report = import_text(text);
    EXPECT_EQ(report.bad_line_count, 5000u);
    ASSERT_EQ(report.bad_lines.size(), max_reported_bad_lines);
    EXPECT_EQ(report.bad_lines.back().number, max_reported_bad_lines);
    EXPECT_EQ(report.added, 0u);
}

INSTANTIATE_TEST_SUITE_P(StreamedAndReadFirst, ImportTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "ReadFirst" : "Streamed"; });

}  // namespace
}  // namespace cumulo::server
