#include "http/bearer_token.h"

#include "temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>

namespace cumulo::server {
namespace {

TEST(BearerToken, IsMadeOnceIntoAFileOnlyItsOwnerReads)
{
    TempDir dir;
    const std::string path = dir.file("token");
    std::string token = load_or_make_token(path);
    EXPECT_EQ(token.size(), 64u);
    EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos);
    struct stat status {};
    ASSERT_EQ(stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    EXPECT_EQ(load_or_make_token(path), token);
    EXPECT_NE(load_or_make_token(dir.file("other")), token);
}

TEST(BearerToken, RefusesAFileOthersMayReadOrWithoutAToken)
{
    TempDir dir;
    const std::pair<const char*, std::filesystem::perms> cases[] = {
        {"0123456789abcdef0123456789abcdef\n", std::filesystem::perms::owner_read | std::filesystem::perms::group_read},
        {"0123456789abcdef0123456789abcdef\n", std::filesystem::perms::owner_read | std::filesystem::perms::others_read},
        {"", std::filesystem::perms::owner_read},
        {"short\n", std::filesystem::perms::owner_read},
        {"0123456789abcdef 0123456789abcdef\n", std::filesystem::perms::owner_read},
    };
    for (const auto& [text, mode] : cases) {
        const std::string path = dir.file("token");
        std::filesystem::remove(path);
        std::ofstream(path) << text;
        std::filesystem::permissions(path, mode);
        EXPECT_THROW(load_or_make_token(path), std::runtime_error) << text;
    }
}

TEST(BearerToken, MatchesOnlyTheBearerSchemeWithTheWholeToken)
{
    const std::string token = "0123456789abcdef0123456789abcdef";
    const std::pair<std::string, bool> cases[] = {
        {"Bearer " + token, true},
        {"bearer   " + token + "  ", true},
        {"Bearer " + token + "0", false},
        {"Bearer " + token.substr(0, 31), false},
        {"Bearer " + std::string(32, 'f'), false},
        {"Basic " + token, false},
        {token, false},
        {"Bearer", false},
        {"", false},
    };
    for (const auto& [header, matches] : cases)
        EXPECT_EQ(bearer_matches(header, token), matches) << header;
    EXPECT_FALSE(bearer_matches("Bearer ", ""));
}

}  // namespace
}  // namespace cumulo::server
