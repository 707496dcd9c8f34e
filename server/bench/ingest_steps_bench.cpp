// Where a write's time goes, in this process and on one thread: the sample's shares written in
// batches through the catalogue writer (parse, commit and sync, publish), and the same batches laid
// over the live index alone, with the new bases merged at the sizes the writer makes them. Prints
// shares/s of each and the time the merges took.
//   build/server/bench/cumulo_ingest_steps_bench [--shares N] [--batch N] [--dir DIR]
//                                                [--steps index,catalogue,writer]
#include "catalogue/catalogue_import.h"
#include "catalogue/catalogue_writer.h"
#include "catalogue/sample_catalogue.h"
#include "index/live_index.h"
#include "share_line.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>

namespace {

using namespace cumulo::server;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point began)
{
    return std::chrono::duration<double>(Clock::now() - began).count();
}

struct Settings {
    std::uint64_t shares = 1'000'000;
    std::uint64_t batch = 1'000;
    std::filesystem::path dir = std::filesystem::temp_directory_path();
    std::string steps = "index,catalogue,writer";  // which rows to measure
};

// The writer's way to a new base (catalogue_writer.h, with its default settings).
bool new_base_due(const LiveIndex& live)
{
    return live.position() - live.base_position() > most_laid_over(live.base_share_count(), WriterSettings{}.rebuild_after);
}

void index_alone(const std::vector<Share>& shares, const Settings& settings)
{
    auto live = std::make_shared<const LiveIndex>(std::make_shared<const ShareIndex>(std::vector<Share>()), 0);
    double merging = 0;
    auto began = Clock::now();
    std::uint64_t number = 0;
    for (std::size_t first = 0; first < shares.size(); first += settings.batch) {
        std::vector<Catalogue::Change> changes;
        for (std::size_t at = first; at < std::min<std::size_t>(shares.size(), first + settings.batch); ++at)
            changes.push_back({++number, Catalogue::Change::Kind::put, shares[at]});
        live = live->with(changes, number);
        if (new_base_due(*live)) {
            auto merge_began = Clock::now();
            live = std::make_shared<const LiveIndex>(live->merged(), live->position());
            merging += seconds_since(merge_began);
        }
    }
    double total = seconds_since(began);
    std::printf("| the live index alone (batches laid over, new bases merged) | %.1f | %.0f | merges %.1f s |\n", total,
                shares.size() / total, merging);
}

// The catalogue alone: each batch parsed, committed and synced, nothing published.
void catalogue_alone(const std::vector<std::string>& batches, std::uint64_t share_count, const Settings& settings)
{
    std::filesystem::path path = settings.dir / ("cumulo-ingest-steps-" + std::to_string(getpid()) + ".sqlite");
    auto began = Clock::now();
    {
        Catalogue catalogue(path.string());
        for (const std::string& batch : batches) {
            std::istringstream lines(batch);
            if (import_shares(catalogue, lines).bad_line_count != 0)
                throw std::runtime_error("a sample line was refused");
        }
    }
    double total = seconds_since(began);
    std::printf("| the catalogue alone (parse, commit and sync) | %.1f | %.0f | |\n", total, share_count / total);
    for (const char* suffix : {"", "-wal", "-shm"})
        std::filesystem::remove(path.string() + suffix);
}

void through_the_writer(const std::vector<std::string>& batches, std::uint64_t share_count, const Settings& settings)
{
    std::filesystem::path path = settings.dir / ("cumulo-ingest-steps-" + std::to_string(getpid()) + ".sqlite");
    PublishedIndex published;
    auto began = Clock::now();
    {
        Catalogue{path.string()};
        CatalogueWriter writer(path.string(), published);
        for (const std::string& batch : batches) {
            std::istringstream lines(batch);
            if (writer.put_shares(lines).bad_line_count != 0)
                throw std::runtime_error("a sample line was refused");
        }
    }
    double total = seconds_since(began);
    std::printf("| the catalogue writer (parse, commit and sync, publish; bases on their own thread) | %.1f | %.0f | |\n",
                total, share_count / total);
    for (const char* suffix : {"", "-wal", "-shm"})
        std::filesystem::remove(path.string() + suffix);
}

}  // namespace

int main(int argc, char** argv)
{
    Settings settings;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--shares") == 0)
            settings.shares = std::stoull(argv[i + 1]);
        else if (std::strcmp(argv[i], "--batch") == 0)
            settings.batch = std::stoull(argv[i + 1]);
        else if (std::strcmp(argv[i], "--dir") == 0)
            settings.dir = argv[i + 1];
        else if (std::strcmp(argv[i], "--steps") == 0)
            settings.steps = argv[i + 1];
        else {
            std::cerr << "usage: cumulo_ingest_steps_bench [--shares N] [--batch N] [--dir DIR] [--steps index,catalogue,writer]\n";
            return 2;
        }
    }
    std::vector<Share> shares;
    shares.reserve(settings.shares);
    generate_sample_shares(settings.shares, [&](const Share& share) { shares.push_back(share); });
    std::vector<std::string> batches;
    for (std::size_t first = 0; first < shares.size(); first += settings.batch) {
        std::string& batch = batches.emplace_back();
        for (std::size_t at = first; at < std::min<std::size_t>(shares.size(), first + settings.batch); ++at)
            batch += share_line(shares[at]);
    }
    std::printf("| %llu shares in batches of %llu | seconds | shares/s | |\n|---|---:|---:|---|\n",
                static_cast<unsigned long long>(settings.shares), static_cast<unsigned long long>(settings.batch));
    auto measured = [&](const char* step) { return settings.steps.find(step) != std::string::npos; };
    if (measured("index"))
        index_alone(shares, settings);
    if (measured("catalogue"))
        catalogue_alone(batches, shares.size(), settings);
    if (measured("writer"))
        through_the_writer(batches, shares.size(), settings);
    return 0;
}
