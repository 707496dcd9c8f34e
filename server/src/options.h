// The command line of cumulo-server.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace cumulo::server {

struct Options {
    std::string database;                     // --catalogue (or --db); empty: default_database_path()
    std::string follow;                       // a hot standby to read from; empty: the catalogue
    std::string snapshot_file;                // empty: beside the SQLite file, or postgres_snapshot_path()
    std::uint64_t max_lag_seconds = 5;        // /healthz says "behind" past it
    std::string host = "127.0.0.1";
    int port = 8930;                          // 0: any free port
    bool listen_given = false;                // --listen was on the command line
    std::vector<std::string> host_names;      // names besides the listen address (--host-name)
    std::string import_file;                  // empty: no import
    std::string token_file;                   // empty: "token" beside the catalogue (or the snapshot)
    std::optional<std::uint64_t> sample_size;
    bool show_version = false;
    bool show_help = false;
};

struct ParsedOptions {
    Options options;
    std::string error;  // empty when the command line was understood
};

ParsedOptions parse_options(const std::vector<std::string>& arguments);

std::string usage_text();

// Run by systemd with a state directory (STATE_DIRECTORY set): index.sqlite in it (the first
// one, when several are named). Otherwise ${XDG_DATA_HOME:-~/.local/share}/cumulo-search/
// index.sqlite. Empty when none of STATE_DIRECTORY, XDG_DATA_HOME and HOME is set.
std::string default_database_path();

}  // namespace cumulo::server
