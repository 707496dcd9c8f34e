// Throughput and latency of the search service against the floor of the same queries run
// straight on the catalogue in this process, and the speed of a JSON Lines import. Prints the
// figures and appends them to the benchmarks file.
#include "catalogue/catalogue.h"
#include "catalogue/catalogue_import.h"
#include "text/json_text.h"
#include "catalogue/sample_catalogue.h"
#include "index/base_index.h"
#include "service.h"
#include "share_line.h"

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <thread>

namespace {

using namespace cumulo::server;
using Clock = std::chrono::steady_clock;

constexpr int client_count = 2;

struct BenchQuery {
    std::string key;
    std::string raw;  // as a client sends it after "/api/v1/?"
};

std::string percent_encoded(std::string_view text)
{
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

// What users of the tool type: Chinese and English words of the sample's vocabulary, long and
// short, with each type filter and both orders.
std::vector<BenchQuery> bench_queries()
{
    const std::pair<const char*, const char*> keys[] = {
        {"考研英语", ""}, {"电影", ""}, {"三体", "file"}, {"高清", "folder"}, {"Lecture 1", ""},
        {"旅行照片", "album"}, {"Python编程", ""}, {"Kingdom", "file"}, {"合集", ""}, {"真题", "file"},
        {"琅琊榜 全", "folder"}, {"Trip 20", "album"}, {"Linux", ""}, {"甄嬛传第1", "file"}, {"Frozen", ""},
        {"雅思口语讲义", ""}};
    std::vector<BenchQuery> queries;
    bool descending = false;
    for (const auto& [key, type] : keys) {
        descending = !descending;
        queries.push_back({key, "key=" + percent_encoded(key) + "&limit=200&sort=size&desc=" + (descending ? "t" : "f")
                                    + "&start=0&in=" + type});
    }
    return queries;
}

struct Figures {
    double queries_per_second = 0;
    double p50_ms = 0;
    double p99_ms = 0;
    std::uint64_t queries = 0;
};

// Runs `one_query(client, query)` from client_count threads for `seconds`, each thread
// walking the query list from its own starting point.
template <typename Runner>
Figures measure(const std::vector<BenchQuery>& queries, double seconds, Runner make_runner)
{
    std::vector<std::vector<double>> latencies(client_count);
    std::vector<std::thread> threads;
    auto start = Clock::now();
    auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    for (int client = 0; client < client_count; ++client) {
        threads.emplace_back([&, client] {
            auto run = make_runner();
            for (std::size_t i = static_cast<std::size_t>(client) * queries.size() / client_count; Clock::now() < end; ++i) {
                auto before = Clock::now();
                run(queries[i % queries.size()]);
                latencies[client].push_back(std::chrono::duration<double, std::milli>(Clock::now() - before).count());
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    double elapsed = std::chrono::duration<double>(Clock::now() - start).count();

    std::vector<double> all;
    for (const auto& list : latencies)
        all.insert(all.end(), list.begin(), list.end());
    std::sort(all.begin(), all.end());
    Figures figures;
    figures.queries = all.size();
    if (all.empty())
        return figures;
    figures.queries_per_second = static_cast<double>(all.size()) / elapsed;
    figures.p50_ms = all[all.size() / 2];
    figures.p99_ms = all[std::min(all.size() - 1, all.size() * 99 / 100)];
    return figures;
}

struct Settings {
    std::uint64_t shares = 1'000'000;
    double seconds = 10;
    std::string append_to = CUMULO_BENCHMARKS_FILE;
};

bool read_settings(int argc, char** argv, Settings& settings)
{
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string option = argv[i];
        if (option == "--shares")
            settings.shares = std::stoull(argv[i + 1]);
        else if (option == "--seconds")
            settings.seconds = std::stod(argv[i + 1]);
        else if (option == "--append")
            settings.append_to = argv[i + 1];
        else
            return false;
    }
    return argc % 2 == 1 && settings.shares > 0 && settings.seconds > 0;
}

std::string fixed(double value, int decimals)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

int run(const Settings& settings)
{
    std::filesystem::path dir = std::filesystem::temp_directory_path() / ("cumulo-server-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    std::string jsonl = (dir / "catalogue.jsonl").string();
    std::string database = (dir / "catalogue.sqlite").string();

    std::cerr << "writing " << settings.shares << " sample shares as JSON Lines...\n";
    {
        std::ofstream out(jsonl, std::ios::binary);
        generate_sample_shares(settings.shares, [&](const Share& share) { out << share_line(share); });
    }
    std::cerr << "importing...\n";
    auto import_start = Clock::now();
    ImportReport report;
    {
        Catalogue catalogue(database);
        std::ifstream input(jsonl, std::ios::binary);
        report = import_shares(catalogue, input);
    }
    double import_seconds = std::chrono::duration<double>(Clock::now() - import_start).count();
    if (!report.bad_lines.empty() || report.added != settings.shares) {
        std::cerr << "import failed at line " << (report.bad_lines.empty() ? 0 : report.bad_lines[0].number) << '\n';
        return 1;
    }

    std::vector<BenchQuery> queries = bench_queries();
    std::cerr << "floor: the queries straight on the catalogue...\n";
    Figures floor = measure(queries, settings.seconds, [&] {
        auto catalogue = std::make_shared<Catalogue>(database, Catalogue::Access::read_only);
        return [catalogue](const BenchQuery& query) { catalogue->search(*parse_search_query(query.raw).query); };
    });

    std::cerr << "service: the same queries over HTTP...\n";
    ReaderPool readers(database);
    PublishedIndex index;
    publish_as_it_is(index, database);
    Service handler(readers, index);
    FrontDoor server(handler);
    int port = server.bind("127.0.0.1", 0);
    std::thread serving([&] { server.run(); });
    std::atomic<std::uint64_t> failures = 0;
    Figures service = measure(queries, settings.seconds, [&] {
        auto client = std::make_shared<httplib::Client>("127.0.0.1", port);
        client->set_keep_alive(true);
        client->set_tcp_nodelay(true);
        return [client, &failures](const BenchQuery& query) {
            auto result = client->Get(("/api/v1/?" + query.raw).c_str());
            if (!result || result->status != 200)
                ++failures;
        };
    });
    server.stop();
    serving.join();
    std::filesystem::remove_all(dir);

    std::time_t now = std::time(nullptr);
    char date[32];
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
    double ratio = floor.queries_per_second > 0 ? service.queries_per_second / floor.queries_per_second : 0;
    std::string text = std::string("\n## Share-search service (") + date + ")\n\n"
        + std::to_string(settings.shares) + " sample shares, " + std::to_string(client_count) + " concurrent clients, "
        + std::to_string(queries.size()) + " queries in rotation (Chinese and English keys, 2 to 6 characters, "
        "type filters, both orders, limit 200), " + fixed(settings.seconds, 0) + " s per run, "
        + std::to_string(std::thread::hardware_concurrency()) + " cores (shared with other work).\n\n"
        "| Run | Queries | Queries/s | p50 (ms) | p99 (ms) |\n|---|---|---|---|---|\n"
        "| Catalogue in-process (floor) | " + std::to_string(floor.queries) + " | " + fixed(floor.queries_per_second, 1)
        + " | " + fixed(floor.p50_ms, 2) + " | " + fixed(floor.p99_ms, 2) + " |\n"
        "| Service over HTTP | " + std::to_string(service.queries) + " | " + fixed(service.queries_per_second, 1)
        + " | " + fixed(service.p50_ms, 2) + " | " + fixed(service.p99_ms, 2) + " |\n\n"
        "Service throughput is " + fixed(100 * ratio, 0) + "% of the floor (goal: at least 50%); "
        + std::to_string(failures.load()) + " failed requests.\n"
        "Import of " + std::to_string(settings.shares) + " shares from JSON Lines: " + fixed(import_seconds, 1) + " s, "
        + fixed(static_cast<double>(settings.shares) / import_seconds, 0) + " shares/s.\n";
    std::cout << text;
    if (settings.append_to != "-") {
        std::ofstream out(settings.append_to, std::ios::app);
        if (out.tellp() == 0)
            out << "# Benchmarks\n\nFigures measured on the project's build machine; newest runs last.\n";
        out << text;
        out.close();
        if (!out) {
            std::cerr << "cumulo_server_bench: cannot append to " << settings.append_to << '\n';
            return 1;
        }
        std::cerr << "appended to " << settings.append_to << '\n';
    }
    return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    Settings settings;
    if (!read_settings(argc, argv, settings)) {
        std::cerr << "usage: cumulo_server_bench [--shares N] [--seconds S] [--append FILE|-]\n";
        return 2;
    }
    try {
        return run(settings);
    } catch (const std::exception& error) {
        std::cerr << "cumulo_server_bench: " << error.what() << '\n';
        return 1;
    }
}
