#include "catalogue/start_index.h"

#include "index/index_snapshot.h"
#include "index/live_index.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <malloc.h>

namespace cumulo::server {

namespace {

using Clock = std::chrono::steady_clock;

// An older snapshot is caught up from the log while it is at most this many changes (or as many
// as a running writer lays over a base of its size, live_index.h) behind.
constexpr std::uint64_t most_changes_caught_up = 50'000;

std::string seconds_since(Clock::time_point start)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", std::chrono::duration<double>(Clock::now() - start).count());
    return text;
}

}  // namespace

std::string snapshot_path_for(const std::string& catalogue_path)
{
    return catalogue_path + ".index";
}

std::string postgres_snapshot_path()
{
    // systemd names the unit's state directories separated by ':'.
    const char* state_directories = std::getenv("STATE_DIRECTORY");
    if (state_directories && *state_directories == '/')
        return std::string(state_directories, std::strcspn(state_directories, ":")) + "/index.snapshot";
    const char* data_home = std::getenv("XDG_DATA_HOME");
    if (data_home && *data_home == '/')
        return std::string(data_home) + "/cumulo-search/postgresql.index";
    const char* home = std::getenv("HOME");
    if (!home || !*home)
        return {};
    return std::string(home) + "/.local/share/cumulo-search/postgresql.index";
}

BaseIndex open_start_index(const std::string& catalogue_path, Catalogue::Access access, const std::string& snapshot_path,
                            bool may_write, std::ostream& log)
{
    return open_start_index({catalogue_path, access, may_write}, snapshot_path, may_write, log);
}

BaseIndex open_start_index(const StartIndexSource& source, const std::string& snapshot_path, bool may_write,
                           std::ostream& log)
{
    auto start = Clock::now();
    std::string identity;
    std::uint64_t position = 0;
    // Changes before this number may have been trimmed from the log: an older snapshot cannot
    // be caught up.
    std::uint64_t log_start = 0;
    {
        std::unique_ptr<CatalogueOfRecord> catalogue = open_catalogue(source.read_source, source.access);
        identity = catalogue->identity();
        position = catalogue->position();
        if (std::optional<std::string> kept_from = catalogue->fact("log_start"))
            log_start = std::strtoull(kept_from->c_str(), nullptr, 10);
    }
    // Without an identity a snapshot cannot be told from another catalogue's: none is used or kept.
    bool keep_on_disk = !identity.empty();
    if (!keep_on_disk) {
        log << "cumulo-server: the catalogue has no identity yet; its index is not kept on disk\n";
    } else {
        LoadedSnapshot loaded = load_snapshot(snapshot_path, {identity, position});
        if (loaded.index && loaded.position < position && !source.follows) {
            loaded = {nullptr, "the snapshot holds the catalogue at change " + std::to_string(loaded.position)
                                   + ", the catalogue is at change " + std::to_string(position)};
        } else if (loaded.index && loaded.position < position && loaded.position + 1 < log_start) {
            loaded = {nullptr, "the log no longer holds the changes after the snapshot's change "
                                   + std::to_string(loaded.position)};
        } else if (loaded.index
                   && position - loaded.position
                          > most_laid_over(loaded.index->share_count(), most_changes_caught_up)) {
            loaded = {nullptr, "the snapshot is " + std::to_string(position - loaded.position)
                                   + " changes behind the catalogue; building afresh is quicker"};
        }
        if (loaded.index) {
            log << "cumulo-server: index of " << loaded.index->share_count() << " shares loaded from " << snapshot_path
                << " at change " << loaded.position << " in " << seconds_since(start) << '\n';
            return {loaded.index, loaded.position};
        }
        log << "cumulo-server: index snapshot " << snapshot_path << " not used (" << loaded.problem
            << "); building the index\n";
    }
    // The shares and their position as of one moment, over a connection that closes after the
    // build and so unmaps the catalogue pages it read.
    BaseIndex result = build_base_index(source.read_source, source.access);
    // The lists grew in place while they were built and left freed memory behind.
    malloc_trim(0);
    log << "cumulo-server: index of " << result.index->share_count() << " shares built in " << seconds_since(start)
        << '\n';
    if (!keep_on_disk || !may_write)
        return result;
    try {
        write_snapshot(*result.index, {identity, result.position}, snapshot_path);
    } catch (const std::exception& error) {
        log << "cumulo-server: index not kept on disk: " << error.what() << '\n';
    }
    return result;
}

std::optional<UnconfirmedStart> open_unconfirmed_snapshot(const std::string& snapshot_path,
                                                          const std::string& unreachable, std::ostream& log)
{
    if (snapshot_path.empty())
        return std::nullopt;
    LoadedSnapshot loaded = load_snapshot_unconfirmed(snapshot_path);
    // Without an identity the snapshot could never be confirmed as the catalogue's own.
    if (loaded.index && loaded.identity.empty())
        loaded = {nullptr, "it names no catalogue"};
    if (!loaded.index) {
        log << "cumulo-server: index snapshot " << snapshot_path << " not used (" << loaded.problem << ")\n";
        return std::nullopt;
    }
    log << "cumulo-server: " << unreachable << "; serving the " << loaded.index->share_count()
        << " shares of the snapshot " << snapshot_path << " at change " << loaded.position
        << ", refusing writes until the catalogue can be reached\n";
    return UnconfirmedStart{{loaded.index, loaded.position}, loaded.identity};
}

}  // namespace cumulo::server
