// netsup's GET of a ~30 KB answer from a loopback server, against the curl
// command-line tool fetching the same address (once per process, as a
// fresh fetch; and all fetches in one process, which reuses the connection).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "../command_harness.h"
#include <httplib.h>

#include <thread>
#include "bench_answer.h"

using namespace cu::test;

int main()
{
    httplib::Server answer_server;
    const std::string body = cu::bench::answer(200, true);
    answer_server.Get("/api", [&](const httplib::Request&, httplib::Response& r) { r.set_content(body, "application/json"); });
    const int port = answer_server.bind_to_any_port("127.0.0.1");
    std::thread t([&] { answer_server.listen_after_bind(); });
    while (!answer_server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/api";

    SupportLibrary netsup("netsup");
    const int runs = 200;
    std::size_t got = 0;
    const double ours = cu::bench::median_us(runs, [&] {
        got = take_bytes(call(netsup.commands(), 0x1C, {text(url.c_str())})).size();
    });
    const std::string one = "curl -s -o /dev/null '" + url + "'";
    const double curl_process = cu::bench::median_us(50, [&] { std::system(one.c_str()); });
    std::string many = "curl -s -H 'Connection: close'";
    for (int i = 0; i < runs; ++i) many += " -o /dev/null '" + url + "'";
    const auto start = std::chrono::steady_clock::now();
    std::system(many.c_str());
    const double curl_reused =
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count() / runs;

    std::printf("HTTP GET of a %zu-byte answer on loopback (got %zu bytes)\n", body.size(), got);
    std::printf("  netsup 0x1C (new connection each)       %8.1f us (median of %d)\n", ours, runs);
    std::printf("  curl CLI, one process per GET            %8.1f us (median of 50)\n", curl_process);
    std::printf("  curl CLI, %d GETs in one process         %8.1f us per GET (Connection: close, a new connection each, as netsup)\n", runs, curl_reused);
    answer_server.stop();
    t.join();
}
