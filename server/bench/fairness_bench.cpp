// Cheap requests (a one-character search and a share page) while many keep-alive clients
// repeat an expensive search, against the same requests on an idle service. Prints the figures.
// Not a test: run it by hand,
//   build/server/bench/cumulo_fairness_bench [--db CATALOGUE | --shares N] [--clients N] [--seconds S]
#include "catalogue/catalogue.h"
#include "catalogue/sample_catalogue.h"
#include "index/base_index.h"
#include "service.h"

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace cumulo::server;
using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::duration<double, std::milli>;

struct Settings {
    std::string database;  // empty: a sample catalogue made for the run
    std::uint64_t shares = 1'000'000;
    int clients = 256;
    double seconds = 5;
};

// A search the index must walk to the end: its pairs are everywhere, the key nowhere.
const std::string expensive_target = "/api/v1/?key=e%20e%20e%20e";
const std::string one_list_target = "/api/v1/?key=e";

struct Latencies {
    double median = 0, max = 0;
    std::size_t count = 0, failed = 0;
};

// Asks the cheap targets in turn on one keep-alive connection, for `seconds`.
Latencies time_cheap_requests(int port, const std::vector<std::string>& targets, double seconds)
{
    httplib::Client client("127.0.0.1", port);
    client.set_keep_alive(true);
    client.set_url_encode(false);  // the targets are sent exactly as written
    client.set_read_timeout(30, 0);
    std::vector<double> took;
    Latencies latencies;
    Clock::time_point end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    for (std::size_t i = 0; Clock::now() < end; ++i) {
        Clock::time_point start = Clock::now();
        auto result = client.Get(targets[i % targets.size()]);
        took.push_back(Milliseconds(Clock::now() - start).count());
        if (!result || result->status != 200)
            ++latencies.failed;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::sort(took.begin(), took.end());
    latencies.count = took.size();
    latencies.median = took.empty() ? 0 : took[took.size() / 2];
    latencies.max = took.empty() ? 0 : took.back();
    return latencies;
}

// The share page of the first share a one-list search finds.
std::string share_page_target(int port)
{
    httplib::Client client("127.0.0.1", port);
    client.set_url_encode(false);
    auto result = client.Get(one_list_target + "&limit=1");
    if (!result)
        return "/share/link?uk=1&shareid=1";
    const std::string marker = "\"idAuk\":\"";
    std::size_t at = result->body.find(marker) + marker.size();
    std::string id_and_uk = result->body.substr(at, result->body.find('"', at) - at);
    std::size_t bar = id_and_uk.find('|');
    return "/share/link?shareid=" + id_and_uk.substr(0, bar) + "&uk=" + id_and_uk.substr(bar + 1);
}

bool read_settings(int argc, char** argv, Settings& settings)
{
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string option = argv[i];
        if (option == "--db")
            settings.database = argv[i + 1];
        else if (option == "--shares")
            settings.shares = std::stoull(argv[i + 1]);
        else if (option == "--clients")
            settings.clients = std::stoi(argv[i + 1]);
        else if (option == "--seconds")
            settings.seconds = std::stod(argv[i + 1]);
        else
            return false;
    }
    return argc % 2 == 1;
}

int run(const Settings& settings)
{
    std::string path = settings.database;
    std::filesystem::path scratch;
    if (path.empty()) {
        scratch = std::filesystem::temp_directory_path() / ("cumulo-fairness-" + std::to_string(getpid()));
        std::filesystem::create_directories(scratch);
        path = (scratch / "sample.sqlite").string();
        Catalogue catalogue(path);
        build_sample_catalogue(catalogue, settings.shares);
    }
    ReaderPool readers(path);
    PublishedIndex index;
    publish_as_it_is(index, path);
    Service service(readers, index);
    FrontDoor door(service);
    int port = door.bind("127.0.0.1", 0);
    std::thread serving([&] { door.run(); });

    const std::vector<std::string> cheap = {one_list_target, share_page_target(port)};
    httplib::Client probe("127.0.0.1", port);
    probe.set_url_encode(false);
    Clock::time_point start = Clock::now();
    probe.Get(expensive_target);
    double expensive_ms = Milliseconds(Clock::now() - start).count();

    Latencies idle = time_cheap_requests(port, cheap, settings.seconds / 2);

    std::atomic<bool> flooding = true;
    std::atomic<std::size_t> answered = 0, refused = 0;
    std::vector<std::thread> flood;
    for (int i = 0; i < settings.clients; ++i)
        flood.emplace_back([&] {
            httplib::Client client("127.0.0.1", port);
            client.set_keep_alive(true);
            client.set_url_encode(false);
            client.set_read_timeout(30, 0);
            while (flooding) {
                auto result = client.Get(expensive_target);
                if (result && result->status == 200)
                    ++answered;
                else
                    ++refused;
            }
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    Latencies flooded = time_cheap_requests(port, cheap, settings.seconds);
    flooding = false;
    for (std::thread& client : flood)
        client.join();
    door.stop();
    serving.join();
    if (!scratch.empty())
        std::filesystem::remove_all(scratch);

    std::printf("catalogue: %s; expensive search %s alone: %.1f ms; %d cores\n", path.c_str(), expensive_target.c_str(),
                expensive_ms, static_cast<int>(std::thread::hardware_concurrency()));
    std::printf("| Cheap requests (%s, a share page) | Requests | Median (ms) | Max (ms) | Not 200 |\n",
                one_list_target.c_str());
    std::printf("|---|---|---|---|---|\n");
    std::printf("| idle | %zu | %.2f | %.2f | %zu |\n", idle.count, idle.median, idle.max, idle.failed);
    std::printf("| %d keep-alive clients repeating the expensive search | %zu | %.2f | %.2f | %zu |\n", settings.clients,
                flooded.count, flooded.median, flooded.max, flooded.failed);
    std::printf("flooding clients: %zu searches answered 200, %zu otherwise (503 past the deadline); "
                "median ratio flooded/idle: %.1fx\n",
                answered.load(), refused.load(), flooded.median / std::max(idle.median, 1e-3));
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    Settings settings;
    if (!read_settings(argc, argv, settings)) {
        std::cerr << "usage: cumulo_fairness_bench [--db CATALOGUE | --shares N] [--clients N] [--seconds S]\n";
        return 2;
    }
    return run(settings);
}
