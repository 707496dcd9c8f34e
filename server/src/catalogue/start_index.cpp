#include "catalogue/start_index.h"

#include "catalogue/catalogue.h"
#include "index/index_snapshot.h"

#include <chrono>
#include <cstdio>
#include <malloc.h>

namespace cumulo::server {

namespace {

using Clock = std::chrono::steady_clock;

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
    std::string identity;
    std::uint64_t position = 0;
    {
        Catalogue catalogue(catalogue_path, access);
        identity = catalogue.identity();
        position = catalogue.position();
    }
    // Without an identity a snapshot cannot be told from another catalogue's: none is used or kept.
    bool keep_on_disk = !identity.empty();
    if (!keep_on_disk) {
        log << "cumulo-server: the catalogue has no identity yet; its index is not kept on disk\n";
    } else {
        LoadedSnapshot loaded = load_snapshot(snapshot_path, {identity, position});
        if (loaded.index) {
            log << "cumulo-server: index of " << loaded.index->share_count() << " shares loaded from " << snapshot_path
                << " in " << seconds_since(start) << '\n';
            return {loaded.index, position};
        }
        log << "cumulo-server: index snapshot " << snapshot_path << " not used (" << loaded.problem
            << "); building the index\n";
    }
    // The shares and their position as of one moment, over a connection that closes after the
    // build and so unmaps the catalogue pages it read.
    BaseIndex result = build_base_index(catalogue_path, access);
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

}  // namespace cumulo::server
