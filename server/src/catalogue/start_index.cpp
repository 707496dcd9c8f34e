#include "catalogue/start_index.h"

#include "catalogue/catalogue.h"
#include "index/index_snapshot.h"

#include <chrono>
#include <cstdio>
#include <malloc.h>

namespace cumulo::server {

namespace {

using Clock = std::chrono::steady_clock;

// Builds before giving up on an index whose position is known: a catalogue written to all along
// would otherwise keep the start waiting.
constexpr int build_attempts = 3;

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

BaseIndex open_start_index(const std::string& catalogue_path, Catalogue::Access access, const std::string& snapshot_path,
                            bool may_write, std::ostream& log)
{
    auto start = Clock::now();
    std::string identity = Catalogue(catalogue_path, access).identity();
    // Without an identity a snapshot cannot be told from another catalogue's: none is used or kept.
    bool keep_on_disk = !identity.empty();
    if (!keep_on_disk)
        log << "cumulo-server: the catalogue has no identity yet; its index is not kept on disk\n";
    BaseIndex result;
    for (int attempt = 0; attempt < build_attempts; ++attempt) {
        // A connection of its own for each build: closing it unmaps the catalogue pages the
        // build read, which the service does not need afterwards.
        Catalogue catalogue(catalogue_path, access);
        std::uint64_t position = catalogue.position();
        if (attempt == 0 && keep_on_disk) {
            LoadedSnapshot loaded = load_snapshot(snapshot_path, {identity, position});
            if (loaded.index) {
                log << "cumulo-server: index of " << loaded.index->share_count() << " shares loaded from "
                    << snapshot_path << " in " << seconds_since(start) << '\n';
                return {loaded.index, position};
            }
            log << "cumulo-server: index snapshot " << snapshot_path << " not used (" << loaded.problem
                << "); building the index\n";
        }
        result = {catalogue.index(), position};
        // The lists grew in place while they were built and left freed memory behind.
        malloc_trim(0);
        // Positions only grow: the same position after the build means no change committed
        // while it read, so the index holds exactly the catalogue at that position.
        if (catalogue.position() != position)
            continue;
        log << "cumulo-server: index of " << result.index->share_count() << " shares built in " << seconds_since(start)
            << '\n';
        if (!keep_on_disk || !may_write)
            return result;
        try {
            write_snapshot(*result.index, {identity, position}, snapshot_path);
        } catch (const std::exception& error) {
            log << "cumulo-server: index not kept on disk: " << error.what() << '\n';
        }
        return result;
    }
    // Changes committed during the last build may be in it already; replaying the log from the
    // position read before it brings a follower up to date all the same, since applying a put or
    // a removal twice leaves what applying it once does. Such an index is not kept on disk.
    log << "cumulo-server: the catalogue changed while its index was built; the index is not kept on disk\n";
    return result;
}

}  // namespace cumulo::server
