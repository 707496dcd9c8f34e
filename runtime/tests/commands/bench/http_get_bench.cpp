// netsup's GET of a ~30 KB answer from a loopback server, against the curl
// command-line tool fetching the same address (once per process, as a
// fresh fetch; and all fetches in one process, which reuses the connection).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "../command_harness.h"
#include "bench_answer.h"
#include "loopback_server.h"

using namespace cu::test;

int main()
{
    LoopbackServer answer_server;
    const std::string body = cu::bench::answer(200, true);
    answer_server.set_answer(body);
    const std::string url = answer_server.url("/api");

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
}
