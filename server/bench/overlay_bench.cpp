// Searches of the live index in this process, single-threaded: a base of sample shares alone,
// and the same base with an overlay shaped like the one the writer lays over it during an ingest
// (batches of new shares, some replacing or removing base shares, applied through
// LiveIndex::with). Prints p50/p99 per key class and overall for both, and a digest of every
// answer, so that two builds' runs show the same answers side by side with their times.
#include "catalogue/sample_catalogue.h"
#include "index/live_index.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace cumulo::server;
using Clock = std::chrono::steady_clock;

// The key mix of server/bench/key_mix.py: key classes on the sample's vocabulary, each key
// with and without its type filter, in both orders, limit 200.
struct MixKey {
    const char* key_class;
    const char* key;
    ShareType type;
};
const MixKey mix_keys[] = {
    {"1 character", "电", ShareType::file}, {"1 character", "集", ShareType::folder},
    {"1 character", "Q", ShareType::file}, {"1 character", "ж", ShareType::album},
    {"2 characters", "电影", ShareType::file}, {"2 characters", "蓝光", ShareType::folder},
    {"2 characters", "Tr", ShareType::album}, {"2 characters", "zz", ShareType::file},
    {"common", "考研英语", ShareType::folder}, {"common", "Lecture", ShareType::file},
    {"common", "Course Materials", ShareType::folder}, {"common", "电影版", ShareType::file},
    {"rare", "Iceland Trip 2003", ShareType::album}, {"rare", "The Silent River (2001)", ShareType::file},
    {"rare", "O'Brien", ShareType::file}, {"rare", "甄嬛传第17集", ShareType::file},
    {"no match", "量子纠缠", ShareType::folder}, {"no match", "Quantum", ShareType::file},
    {"no match", "真题讲义", ShareType::file}, {"no match", "Kyoto Lecture", ShareType::album},
};

struct MixQuery {
    std::string key_class;
    SearchQuery query;
};

std::vector<MixQuery> mix_queries()
{
    std::vector<MixQuery> queries;
    for (const MixKey& key : mix_keys)
        for (bool typed : {false, true})
            for (bool descending : {false, true}) {
                SearchQuery query;
                query.key = key.key;
                query.limit = 200;
                query.descending = descending;
                if (typed)
                    query.type = key.type;
                queries.push_back({key.key_class, query});
            }
    return queries;
}

struct Settings {
    std::uint64_t base_shares = 800'000;
    std::uint64_t overlay_changes = 200'000;
    unsigned rounds = 5;
};

bool read_settings(int argc, char** argv, Settings& settings)
{
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string option = argv[i];
        if (option == "--base")
            settings.base_shares = std::stoull(argv[i + 1]);
        else if (option == "--overlay")
            settings.overlay_changes = std::stoull(argv[i + 1]);
        else if (option == "--rounds")
            settings.rounds = static_cast<unsigned>(std::stoul(argv[i + 1]));
        else
            return false;
    }
    return argc % 2 == 1 && settings.base_shares > 0 && settings.rounds > 0;
}

constexpr std::size_t batch_changes = 1'000;

// The overlay's batches: of every 1,000 changes, 30 replace a base share (a new size), 20
// remove one, and the rest put shares the base does not hold.
std::shared_ptr<const LiveIndex> with_overlay(std::shared_ptr<const LiveIndex> live, const std::vector<Share>& base,
                                              const std::vector<Share>& fresh)
{
    std::mt19937_64 random(11);
    std::uint64_t number = live->position();
    std::size_t next_fresh = 0;
    while (next_fresh < fresh.size()) {
        std::vector<Catalogue::Change> batch;
        for (std::size_t i = 0; i < batch_changes && next_fresh < fresh.size(); ++i) {
            Catalogue::Change change;
            change.number = ++number;
            if (i % 20 == 0) {
                change.kind = Catalogue::Change::Kind::remove;
                change.share = base[random() % base.size()];
            } else if (i % 20 < 4) {
                change.share = base[random() % base.size()];
                change.share.size += 1 + random() % 1'000'000;
            } else {
                change.share = fresh[next_fresh++];
            }
            batch.push_back(std::move(change));
        }
        live = live->with(batch, number);
    }
    return live;
}

double percentile(std::vector<double> values, double fraction)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<std::size_t>(static_cast<double>(values.size()) * fraction))];
}

// FNV-1a over the answers, to compare two builds' answers without printing them.
void digest(std::uint64_t& state, const std::vector<Share>& page)
{
    auto mix = [&state](std::string_view bytes) {
        for (unsigned char c : bytes)
            state = (state ^ c) * 0x100000001B3ull;
    };
    for (const Share& share : page) {
        mix(share.name);
        mix(share.code);
        std::uint64_t numbers[] = {share.size, share.shareid, share.uk, static_cast<std::uint64_t>(share.type)};
        mix(std::string_view(reinterpret_cast<const char*>(numbers), sizeof numbers));
    }
}

void run_mix(const char* label, const LiveIndex& live, const std::vector<MixQuery>& queries, unsigned rounds)
{
    std::map<std::string, std::vector<double>> by_class;
    std::vector<double> all;
    std::uint64_t answers = 0xCBF29CE484222325ull;
    for (unsigned round = 0; round < rounds; ++round)
        for (const MixQuery& mix : queries) {
            auto before = Clock::now();
            std::vector<Share> page = live.search(mix.query, Clock::time_point::max());
            double ms = std::chrono::duration<double, std::milli>(Clock::now() - before).count();
            by_class[mix.key_class].push_back(ms);
            all.push_back(ms);
            if (round == 0)
                digest(answers, page);
        }
    std::printf("\n%s (overlay %zu identities), %u rounds of %zu queries, answers digest %016llx\n", label,
                live.overlay_size(), rounds, queries.size(), static_cast<unsigned long long>(answers));
    std::printf("| %-14s | p50 (ms) | p99 (ms) |\n|---|---|---|\n", "Key class");
    for (const MixKey& key : mix_keys) {
        auto found = by_class.find(key.key_class);
        if (found == by_class.end())
            continue;
        std::printf("| %-14s | %8.3f | %8.3f |\n", key.key_class, percentile(found->second, 0.5),
                    percentile(found->second, 0.99));
        by_class.erase(found);
    }
    std::printf("| %-14s | %8.3f | %8.3f |\n", "all", percentile(all, 0.5), percentile(all, 0.99));
}

int run(const Settings& settings)
{
    std::vector<Share> base_shares, fresh;
    std::uint64_t fresh_count = settings.overlay_changes - settings.overlay_changes / 20 * 4;
    generate_sample_shares(settings.base_shares + fresh_count, [&](const Share& share) {
        (base_shares.size() < settings.base_shares ? base_shares : fresh).push_back(share);
    });
    std::cerr << "building the base of " << base_shares.size() << " shares...\n";
    auto base = std::make_shared<const ShareIndex>(base_shares);
    auto base_only = std::make_shared<const LiveIndex>(base, 1);
    std::cerr << "applying about " << settings.overlay_changes << " changes in batches of " << batch_changes << "...\n";
    auto started = Clock::now();
    std::shared_ptr<const LiveIndex> overlaid = with_overlay(base_only, base_shares, fresh);
    std::cerr << "applied in " << std::chrono::duration<double>(Clock::now() - started).count() << " s\n";

    std::vector<MixQuery> queries = mix_queries();
    run_mix("Base only", *base_only, queries, settings.rounds);
    run_mix("Base and overlay", *overlaid, queries, settings.rounds);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    Settings settings;
    if (!read_settings(argc, argv, settings)) {
        std::cerr << "usage: cumulo_overlay_bench [--base N] [--overlay CHANGES] [--rounds R]\n";
        return 2;
    }
    try {
        return run(settings);
    } catch (const std::exception& error) {
        std::cerr << "cumulo_overlay_bench: " << error.what() << '\n';
        return 1;
    }
}
