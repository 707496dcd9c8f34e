#include "options.h"

#include "catalogue/open_catalogue.h"
#include "catalogue/start_index.h"
#include "text/decimal.h"

#include <cstdlib>
#include <cstring>

namespace cumulo::server {

namespace {

// "HOST:PORT"; the last ':' splits, so "[::1]:8930" keeps its brackets off the host.
bool read_listen_address(const std::string& text, Options& options)
{
    std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0)
        return false;
    std::string host = text.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    auto port = parse_decimal_up_to(text.substr(colon + 1), 65535);
    if (!port)
        return false;
    options.host = host;
    options.port = static_cast<int>(*port);
    options.listen_given = true;
    return true;
}

constexpr std::uint64_t max_sample_size = 100'000'000;
constexpr std::uint64_t max_lag_ceiling = 86'400;

// A name as a Host header gives it: letters, digits, '-', '.', '_', an IPv6 address in
// brackets, and an optional ":PORT".
bool is_host_name(const std::string& name)
{
    return !name.empty() && name.front() != ':'
           && name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-._:[]")
                  == std::string::npos;
}

}  // namespace

ParsedOptions parse_options(const std::vector<std::string>& arguments)
{
    ParsedOptions parsed;
    Options& options = parsed.options;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--version") {
            options.show_version = true;
            continue;
        }
        if (argument == "--help" || argument == "-h") {
            options.show_help = true;
            continue;
        }
        if (argument != "--db" && argument != "--catalogue" && argument != "--follow" && argument != "--snapshot"
            && argument != "--max-lag" && argument != "--listen" && argument != "--host-name" && argument != "--import"
            && argument != "--sample" && argument != "--token-file") {
            parsed.error = "unknown option '" + argument + "'";
            return parsed;
        }
        if (i + 1 == arguments.size()) {
            parsed.error = "option " + argument + " needs a value";
            return parsed;
        }
        const std::string& value = arguments[++i];
        if (argument == "--db" || argument == "--catalogue") {
            if (value.empty()) {
                parsed.error = argument + " needs a file or a PostgreSQL connection string";
                return parsed;
            }
            options.database = value;
        } else if (argument == "--follow") {
            if (!is_postgres_location(value)) {
                parsed.error = "--follow needs a PostgreSQL connection string (a hot standby), not '" + value + "'";
                return parsed;
            }
            options.follow = value;
        } else if (argument == "--snapshot") {
            options.snapshot_file = value;
        } else if (argument == "--max-lag") {
            std::optional<std::uint64_t> seconds = parse_decimal_up_to(value, max_lag_ceiling);
            if (!seconds) {
                parsed.error = "--max-lag needs a whole number of seconds from 0 to " + std::to_string(max_lag_ceiling);
                return parsed;
            }
            options.max_lag_seconds = *seconds;
        } else if (argument == "--host-name") {
            if (!is_host_name(value)) {
                parsed.error = "--host-name needs a host name (with an optional :PORT), not '" + value + "'";
                return parsed;
            }
            options.host_names.push_back(value);
        } else if (argument == "--import") {
            options.import_file = value;
        } else if (argument == "--token-file") {
            options.token_file = value;
        } else if (argument == "--listen") {
            if (!read_listen_address(value, options)) {
                parsed.error = "--listen needs HOST:PORT, not '" + value + "'";
                return parsed;
            }
        } else {
            options.sample_size = parse_decimal_up_to(value, max_sample_size);
            if (!options.sample_size || *options.sample_size == 0) {
                parsed.error = "--sample needs a number of shares from 1 to " + std::to_string(max_sample_size);
                return parsed;
            }
        }
    }
    if (options.show_version || options.show_help)
        return parsed;
    if (options.database.empty() && default_database_path().empty())
        parsed.error = "none of STATE_DIRECTORY, XDG_DATA_HOME and HOME is set; give the catalogue with --db PATH";
    else if (!options.follow.empty() && !is_postgres_location(options.database))
        parsed.error = "--follow reads a hot standby of a PostgreSQL catalogue; give that with --catalogue";
    else if (is_postgres_location(options.database) && (options.snapshot_file.empty() || options.token_file.empty())
             && postgres_snapshot_path().empty())
        parsed.error = "none of STATE_DIRECTORY, XDG_DATA_HOME and HOME is set; give --snapshot PATH and --token-file PATH";
    return parsed;
}

std::string usage_text()
{
    return "usage: cumulo-server [--catalogue LOCATION] [--follow LOCATION] [--snapshot PATH] [--max-lag SECONDS]\n"
           "                     [--listen HOST:PORT] [--host-name NAME]... [--import FILE.jsonl] [--sample N]\n"
           "                     [--token-file PATH] [--version]\n"
           "  --catalogue LOCATION  the catalogue of record: an SQLite file (default\n"
           "                     $STATE_DIRECTORY/index.sqlite under systemd, else\n"
           "                     ${XDG_DATA_HOME:-~/.local/share}/cumulo-search/index.sqlite), or a PostgreSQL\n"
           "                     database (postgresql://... or key=value ...); --db PATH is the same\n"
           "  --follow LOCATION  PostgreSQL only: a hot standby to build the index from and follow the log on\n"
           "  --snapshot PATH    the index snapshot (default beside the SQLite file; for PostgreSQL\n"
           "                     $STATE_DIRECTORY/index.snapshot, else ~/.local/share/cumulo-search/postgresql.index)\n"
           "  --max-lag SECONDS  /healthz says \"behind\" (503) past this lag (default 5)\n"
           "  --listen HOST:PORT address to serve on (default 127.0.0.1:8930; port 0 picks a free one);\n"
           "                     started by systemd's socket activation, it serves the sockets passed\n"
           "  --host-name NAME   also serve requests that name the service NAME (repeatable; the listen\n"
           "                     address, and for loopback localhost, are always served)\n"
           "  --import FILE      add or replace the shares of a JSON Lines file (all or nothing); beside a\n"
           "                     service already serving the catalogue, only that, and the service takes them in\n"
           "  --sample N         make the catalogue the built-in sample of N shares before serving\n"
           "  --token-file PATH  the token writers must present (default: the file 'token' beside the\n"
           "                     catalogue, or for PostgreSQL beside the default snapshot; made with a random\n"
           "                     token at first start)\n"
           "  --version          print the version and exit\n"
           "An empty catalogue gets the sample of 10000 shares on first start.\n";
}

std::string default_database_path()
{
    // systemd names the unit's state directories separated by ':'.
    const char* state_directories = std::getenv("STATE_DIRECTORY");
    if (state_directories && *state_directories == '/') {
        std::string first(state_directories, std::strcspn(state_directories, ":"));
        return first + "/index.sqlite";
    }
    const char* data_home = std::getenv("XDG_DATA_HOME");
    std::string base;
    if (data_home && *data_home == '/') {
        base = data_home;
    } else {
        const char* home = std::getenv("HOME");
        if (!home || !*home)
            return {};
        base = std::string(home) + "/.local/share";
    }
    return base + "/cumulo-search/index.sqlite";
}

}  // namespace cumulo::server
