// cumulo-server: prepares the catalogue (first-run sample, --sample, --import), then serves
// the search API, the share pages and the writes until it is stopped. An import beside a
// service already serving the catalogue only imports: that service takes the shares in. The
// catalogue of record is an SQLite file or a PostgreSQL database; an import into PostgreSQL only
// imports, and every node following it takes the shares in.
#include "catalogue/catalogue_files.h"
#include "catalogue/catalogue_import.h"
#include "catalogue/catalogue_writer.h"
#include "catalogue/open_catalogue.h"
#include "catalogue/sample_catalogue.h"
#include "catalogue/serving_mark.h"
#include "catalogue/start_index.h"
#include "http/bearer_token.h"
#include "http/descriptors.h"
#include "http/passed_sockets.h"
#include "index/base_index.h"
#include "options.h"
#include "service.h"

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <malloc.h>
#include <optional>
#include <pthread.h>
#include <thread>

namespace {

using namespace cumulo::server;

// How long a stop waits for requests that are being answered.
constexpr std::chrono::milliseconds stop_grace{200};

int fail(const std::string& message)
{
    std::cerr << "cumulo-server: " << message << '\n';
    return 1;
}

// Runs the requested catalogue work; false (after reporting why) when the service must not start.
bool prepare_catalogue(const Options& options, const std::string& path)
{
    std::unique_ptr<CatalogueOfRecord> opened = open_catalogue(path);
    CatalogueOfRecord& catalogue = *opened;
    if (options.sample_size) {
        build_sample_catalogue(catalogue, *options.sample_size);
        std::cerr << "cumulo-server: catalogue holds the sample of " << *options.sample_size << " shares\n";
    }
    if (!options.import_file.empty()) {
        std::ifstream input(options.import_file, std::ios::binary);
        if (!input) {
            fail("cannot read " + options.import_file);
            return false;
        }
        ImportReport report = import_shares(catalogue, input);
        for (const BadLine& bad : report.bad_lines)
            std::cerr << options.import_file << ':' << bad.number << ": " << bad.reason << '\n';
        if (report.bad_line_count != 0) {
            std::string shown = report.bad_line_count > report.bad_lines.size()
                                    ? " (the first " + std::to_string(report.bad_lines.size()) + " shown)"
                                    : "";
            fail(std::to_string(report.bad_line_count) + " bad line(s) in " + options.import_file + shown
                 + "; nothing was imported");
            return false;
        }
        std::cerr << "cumulo-server: imported " << report.added << " new and " << report.replaced
                  << " replaced shares from " << options.import_file << '\n';
    }
    if (!options.sample_size && options.import_file.empty() && catalogue.empty()) {
        build_sample_catalogue(catalogue, default_sample_size);
        std::cerr << "cumulo-server: empty catalogue; built the sample of " << default_sample_size << " shares in "
                  << path << '\n';
    }
    return true;
}

// For a catalogue the service cannot change: how it is read, or nullopt (after reporting why)
// when it cannot be served as it is. Nothing is opened for writing, so nothing changes.
std::optional<Catalogue::Access> read_only_access(const Options& options, const std::string& path,
                                                  const CatalogueWritability& writability)
{
    if (options.sample_size || !options.import_file.empty()) {
        fail("cannot change the catalogue " + path + ": " + writability.problem + "; --sample and --import write it");
        return std::nullopt;
    }
    if (!std::filesystem::exists(path)) {
        fail("there is no catalogue " + path + " and none can be made: " + writability.problem);
        return std::nullopt;
    }
    // Read as an unchanging file, a catalogue leaves no journal files behind; changes still in
    // its log are read through SQLite's own files, which only a writable directory can hold.
    Catalogue::Access access = Catalogue::Access::read_only_unchanging;
    if (std::string problem = unread_changes(path); !problem.empty()) {
        if (!writability.directory_writable) {
            fail("cannot serve the catalogue as it is: " + problem);
            return std::nullopt;
        }
        access = Catalogue::Access::read_only;
    }
    std::cerr << "cumulo-server: serving " << path << " read-only: " << writability.problem << '\n';
    return access;
}

// Serves the sockets systemd passed, or else listens where the options say; false (after
// reporting why) when it has nothing to serve.
bool open_door(FrontDoor& door, const Options& options, const std::vector<int>& passed)
{
    for (int descriptor : passed) {
        if (door.adopt(descriptor) < 0) {
            fail("socket " + std::to_string(descriptor) + " from systemd is not a listening TCP socket "
                 "(the socket unit must say ListenStream=HOST:PORT)");
            return false;
        }
        std::cout << "listening on " << socket_address(descriptor) << " (socket from systemd)" << std::endl;
    }
    if (!passed.empty())
        return true;
    int port = door.bind(options.host, options.port);
    if (port <= 0) {
        fail("cannot listen on " + options.host + ':' + std::to_string(options.port)
             + " (is another service using it?)");
        return false;
    }
    bool ipv6 = options.host.find(':') != std::string::npos;
    std::cout << "listening on " << (ipv6 ? "[" + options.host + "]" : options.host) << ':' << port << std::endl;
    return true;
}

int run(const Options& options)
{
    // Every connection holds a descriptor: the service takes all the system lets it have.
    raise_descriptor_limit();
    // Taken first, so that a unit that is wrong fails before the catalogue is touched.
    PassedSockets passed = take_passed_sockets();
    if (!passed.error.empty())
        return fail(passed.error);
    if (!passed.descriptors.empty() && options.listen_given)
        return fail("--listen is for running by hand; under socket activation the socket unit's "
                    "ListenStream says where to listen");
    std::string path = options.database.empty() ? default_database_path() : options.database;
    bool postgres = is_postgres_location(path);
    // Where the snapshot and the token are kept: beside the SQLite file; for PostgreSQL in the
    // node's own state directory.
    std::string snapshot_path = !options.snapshot_file.empty() ? options.snapshot_file
                                : postgres                     ? postgres_snapshot_path()
                                                               : snapshot_path_for(path);
    // The directories made are the ones used: a PostgreSQL node given both --snapshot and
    // --token-file may have no writable home at all.
    std::filesystem::path parent = !postgres                    ? std::filesystem::path(path).parent_path()
                                   : options.token_file.empty() ? std::filesystem::path(postgres_snapshot_path()).parent_path()
                                                                : std::filesystem::path();
    for (const std::filesystem::path& directory : {parent, std::filesystem::path(snapshot_path).parent_path()})
        if (!directory.empty())
            std::filesystem::create_directories(directory);
    CatalogueWritability writability = postgres ? CatalogueWritability{} : catalogue_writability(path);
    Catalogue::Access access = Catalogue::Access::read_only;
    // Why the catalogue of record could not be reached at start: a PostgreSQL node then serves
    // its snapshot, when it has a sound one, until it can.
    std::optional<std::string> unreachable;
    bool writing_asked = options.sample_size || !options.import_file.empty();
    if (postgres) {
        try {
            if (!prepare_catalogue(options, path))
                return 1;
        } catch (const CatalogueUnreachable& error) {
            if (writing_asked)
                throw;
            unreachable = error.what();
        }
        if (!options.import_file.empty()) {
            std::cerr << "cumulo-server: the nodes following the catalogue take them in within a second\n";
            return 0;
        }
    } else if (writability.problem.empty()) {
        if (!prepare_catalogue(options, path))
            return 1;
    } else if (std::optional<Catalogue::Access> read_only = read_only_access(options, path, writability)) {
        access = *read_only;
    } else {
        return 1;
    }
    if (!postgres && !options.import_file.empty() && catalogue_is_served(path)) {
        std::cerr << "cumulo-server: the service already serving " << path << " takes them in within a second\n";
        return 0;
    }
    // Building or importing a catalogue leaves a large heap behind (the writer's page cache,
    // the parsed lines); the service never needs it again.
    malloc_trim(0);

    // A client that hangs up while its answer is being written must not end the service.
    std::signal(SIGPIPE, SIG_IGN);
    // SIGINT and SIGTERM stop the service cleanly: every thread started from here on blocks
    // them, and one thread waits for them.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    // A catalogue the service can write gets the writer, its token and the mark that an import
    // beside the service looks for; one it cannot write is searched as it is.
    PublishedIndex index;
    std::optional<ServingMark> serving;
    std::optional<CatalogueWriter> writer;
    std::string token;
    bool writable = writability.problem.empty();
    std::string read_source = options.follow.empty() ? path : options.follow;
    BaseIndex base;
    WriterSettings settings;
    if (!unreachable) {
        try {
            base = open_start_index({read_source, access, writable}, snapshot_path, writable, std::cerr);
        } catch (const CatalogueUnreachable& error) {
            if (!postgres)
                throw;
            unreachable = error.what();
        }
    }
    if (unreachable) {
        std::optional<UnconfirmedStart> start = open_unconfirmed_snapshot(snapshot_path, *unreachable, std::cerr);
        if (!start)
            return fail(*unreachable);
        base = std::move(start->base);
        settings.unconfirmed_identity = std::move(start->identity);
    }
    if (writable) {
        if (!postgres)
            serving.emplace(path);
        std::string token_path = options.token_file.empty() ? (parent / "token").string() : options.token_file;
        token = load_or_make_token(token_path);
        settings.read_source = options.follow;
        settings.snapshot_path = snapshot_path;
        writer.emplace(path, index, std::move(base), settings);
        std::cerr << "cumulo-server: writers present the token in " << token_path << '\n';
    } else {
        index.publish(std::make_shared<const LiveIndex>(std::move(base.index), base.position));
    }
    ReaderPool readers(read_source, access, !unreachable);
    Service service(readers, index, writer ? &*writer : nullptr, token, std::chrono::seconds(options.max_lag_seconds));
    FrontDoor door(service);
    if (!open_door(door, options, passed.descriptors))
        return 1;
    for (const std::string& name : options.host_names)
        door.serve_host_name(name);

    std::thread stopper([&door, stop_signals] {
        int received = 0;
        sigwait(&stop_signals, &received);
        door.stop();
    });
    door.run();
    stopper.join();
    // Searches still running end at their deadline, and a write cut short is rolled back and
    // was never answered, so the process need not wait for them.
    if (!door.finish_work(stop_grace)) {
        std::cout.flush();
        std::_Exit(0);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    ParsedOptions parsed = parse_options(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.error.empty()) {
        std::cerr << "cumulo-server: " << parsed.error << '\n' << usage_text();
        return 2;
    }
    if (parsed.options.show_help) {
        std::cout << usage_text();
        return 0;
    }
    if (parsed.options.show_version) {
        std::cout << CUMULO_VERSION << '\n';
        return 0;
    }
    try {
        return run(parsed.options);
    } catch (const std::exception& error) {
        return fail(error.what());
    }
}
