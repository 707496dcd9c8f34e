#include "options.h"

#include <gtest/gtest.h>

namespace cumulo::server {
namespace {

TEST(Options, ReadsTheCommandLine)
{
    ParsedOptions parsed = parse_options({"--db", "x.sqlite", "--listen", "0.0.0.0:0", "--sample", "500",
                                          "--import", "a.jsonl", "--host-name", "cumulo.lan", "--host-name", "proxy.example:443"});
    ASSERT_EQ(parsed.error, "");
    EXPECT_EQ(parsed.options.database, "x.sqlite");
    EXPECT_EQ(parsed.options.host, "0.0.0.0");
    EXPECT_EQ(parsed.options.port, 0);
    EXPECT_EQ(parsed.options.sample_size, 500u);
    EXPECT_EQ(parsed.options.import_file, "a.jsonl");
    EXPECT_TRUE(parsed.options.listen_given);
    EXPECT_EQ(parsed.options.host_names, (std::vector<std::string>{"cumulo.lan", "proxy.example:443"}));

    ParsedOptions defaults = parse_options({"--db", "x"});
    EXPECT_EQ(defaults.options.host, "127.0.0.1");
    EXPECT_EQ(defaults.options.port, 8930);
    EXPECT_FALSE(defaults.options.sample_size);
    EXPECT_FALSE(defaults.options.listen_given);

    ParsedOptions ipv6 = parse_options({"--db", "x", "--listen", "[::1]:8000"});
    EXPECT_EQ(ipv6.options.host, "::1");
    EXPECT_EQ(ipv6.options.port, 8000);

    ParsedOptions node = parse_options({"--catalogue", "postgresql://primary/cumulo", "--follow",
                                        "host=standby dbname=cumulo", "--snapshot", "/srv/node.index", "--max-lag", "0",
                                        "--token-file", "/srv/token"});
    ASSERT_EQ(node.error, "");
    EXPECT_EQ(node.options.database, "postgresql://primary/cumulo");
    EXPECT_EQ(node.options.follow, "host=standby dbname=cumulo");
    EXPECT_EQ(node.options.snapshot_file, "/srv/node.index");
    EXPECT_EQ(node.options.max_lag_seconds, 0u);
    EXPECT_EQ(defaults.options.max_lag_seconds, 5u);
}

TEST(Options, RefusesWhatItCannotUse)
{
    const std::vector<std::vector<std::string>> cases = {
        {"--bogus"},
        {"--db"},
        {"--db", "x", "--listen", "8930"},
        {"--db", "x", "--listen", "127.0.0.1:65536"},
        {"--db", "x", "--listen", "127.0.0.1:http"},
        {"--db", "x", "--sample", "0"},
        {"--db", "x", "--sample", "-5"},
        {"--db", "x", "--host-name", ""},
        {"--db", "x", "--host-name", "evil.example/path"},
        {"--catalogue", ""},
        {"--catalogue", "postgres://primary/cumulo", "--max-lag", "-1"},
        {"--catalogue", "postgres://primary/cumulo", "--max-lag", "1.5"},
        // A hot standby follows a PostgreSQL catalogue only.
        {"--db", "x.sqlite", "--follow", "postgres://standby/cumulo"},
        {"--catalogue", "postgres://primary/cumulo", "--follow", "standby.sqlite"},
    };
    for (const auto& arguments : cases)
        EXPECT_NE(parse_options(arguments).error, "") << arguments[0] << ' ' << arguments.back();
}

TEST(Options, DefaultCatalogueFollowsTheStateDirectoryThenXdgDataHome)
{
    const char* saved_data_home = getenv("XDG_DATA_HOME");
    std::string saved_data = saved_data_home ? saved_data_home : "";
    std::string saved_home = getenv("HOME") ? getenv("HOME") : "";
    const char* saved_state_directory = getenv("STATE_DIRECTORY");
    std::string saved_state = saved_state_directory ? saved_state_directory : "";
    // Run by systemd, the unit's state directory holds it, whatever the home says.
    setenv("XDG_DATA_HOME", "/data/me", 1);
    setenv("STATE_DIRECTORY", "/var/lib/cumulo-search", 1);
    EXPECT_EQ(default_database_path(), "/var/lib/cumulo-search/index.sqlite");
    setenv("STATE_DIRECTORY", "/var/lib/cumulo-search:/var/lib/other", 1);
    EXPECT_EQ(default_database_path(), "/var/lib/cumulo-search/index.sqlite");
    setenv("STATE_DIRECTORY", "relative/ignored", 1);
    EXPECT_EQ(default_database_path(), "/data/me/cumulo-search/index.sqlite");
    unsetenv("STATE_DIRECTORY");
    EXPECT_EQ(default_database_path(), "/data/me/cumulo-search/index.sqlite");
    setenv("XDG_DATA_HOME", "relative/ignored", 1);
    setenv("HOME", "/home/me", 1);
    EXPECT_EQ(default_database_path(), "/home/me/.local/share/cumulo-search/index.sqlite");
    unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(default_database_path(), "/home/me/.local/share/cumulo-search/index.sqlite");
    setenv("HOME", saved_home.c_str(), 1);
    if (saved_data_home)
        setenv("XDG_DATA_HOME", saved_data.c_str(), 1);
    if (saved_state_directory)
        setenv("STATE_DIRECTORY", saved_state.c_str(), 1);
}

}  // namespace
}  // namespace cumulo::server
