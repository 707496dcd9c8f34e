#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "command_harness.h"
#include "http_fetch.h"
#include "library_ids.h"
#include "loopback_server.h"
#include "worker.h"

using namespace cu::test;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using namespace std::chrono_literals;

namespace {

const char* const hello_body = "hello \xD6\xD0\xCE\xC4";

std::string chunked_head(const std::string& content_type)
{
    return "HTTP/1.1 200 OK\r\nContent-Type: " + content_type +
           "\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n";
}

std::string chunk_size_line(std::size_t size)
{
    char line[24];
    std::snprintf(line, sizeof line, "%zx\r\n", size);
    return line;
}

std::string chunk(const std::string& data) { return chunk_size_line(data.size()) + data + "\r\n"; }

const char* const last_chunk = "0\r\n\r\n";

// The answers the fetch is tried on: a plain one, a slow one, a stalled one,
// a huge one, one that closes in the middle of its body, an error status and
// a redirect.
void serve_fetch_cases(LoopbackServer& server)
{
    server.set_reply_for("/hello", {LoopbackServer::ok(hello_body, "text/plain")});
    server.set_reply_for("/binary", {LoopbackServer::ok(std::string("a\0b\xFF", 4), "application/octet-stream")});
    std::string slow = chunked_head("text/plain");
    for (int i = 0; i < 10; ++i) slow += chunk("0123456789");
    server.set_reply_for("/slow", {.bytes = slow + last_chunk, .piece = 15, .pause = 40ms});
    server.set_reply_for("/stall", {.bytes = chunked_head("text/plain") + chunk("start"), .stalled = true});
    // 40 MiB, in one chunk (the fetch gives up at its limit long before the
    // end) and with a declared length.
    const std::size_t huge = 40u << 20;
    server.set_reply_for("/huge", {.bytes = chunked_head("application/octet-stream") + chunk_size_line(huge), .filler = huge});
    server.set_reply_for("/huge-declared", {.bytes = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                                                      "Connection: close\r\nContent-Length: " + std::to_string(huge) + "\r\n\r\n",
                                            .filler = huge});
    const std::string declared_1000 = LoopbackServer::ok(std::string(1000, 'x'), "text/plain");
    server.set_reply_for("/close", {.bytes = declared_1000, .cut_after = declared_1000.size() - 990});
    server.set_reply_for("/missing", {"HTTP/1.1 404 Not Found\r\nContent-Type: text/plain\r\nConnection: close\r\n"
                                      "Content-Length: 8\r\n\r\nnot here"});
    server.set_reply_for("/redirect", {"HTTP/1.1 302 Found\r\nLocation: /hello\r\nConnection: close\r\n"
                                       "Content-Length: 0\r\n\r\n"});
}

class Netsup : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        library = new SupportLibrary("netsup");
        server = new LoopbackServer;
        serve_fetch_cases(*server);
    }
    static void TearDownTestSuite()
    {
        delete server;
        delete library;
    }
    static SupportLibrary* library;
    static LoopbackServer* server;

    // What the program gets for an address: the body, or "" for nothing.
    static std::string get(const std::string& address)
    {
        return take_bytes(call(library->commands(), 0x1C, {text(address.c_str())}));
    }
};
SupportLibrary* Netsup::library = nullptr;
LoopbackServer* Netsup::server = nullptr;

TEST_F(Netsup, Descriptor)
{
    EXPECT_STREQ(library->descriptor().short_name, "netsup");
    EXPECT_STREQ(library->descriptor().identifier, CU_ID_NETSUP);
    EXPECT_EQ(library->descriptor().major, 2u);
    EXPECT_EQ(library->descriptor().minor, 0u);
}

TEST_F(Netsup, Outcomes)
{
    struct Case { const char* path; std::string body; };
    const Case cases[] = {
        {"/hello", hello_body},
        {"/binary", std::string("a\0b\xFF", 4)},
        {"/slow", std::string(10, ' ').replace(0, 10, "0123456789") + std::string(90, ' ')},
        {"/redirect", hello_body},
        {"/missing", ""},        // an error status is a failure
        {"/close", ""},          // the body ends early
        {"/huge", ""},           // beyond the body limit, however it is sent
        {"/huge-declared", ""},
    };
    for (const Case& c : cases) {
        std::string expected = c.body;
        if (std::string(c.path) == "/slow") {
            expected.clear();
            for (int i = 0; i < 10; ++i) expected += "0123456789";
        }
        EXPECT_EQ(get(server->url(c.path)), expected) << c.path;
    }
}

TEST_F(Netsup, UnusableAddressesGiveNothing)
{
    for (const char* address : {"", "not an address", "file:///etc/passwd", "ftp://127.0.0.1/x",
                                "http://127.0.0.1:1/refused"})
        EXPECT_EQ(get(address), "") << address;
}

TEST_F(Netsup, ConnectToSendsAHostElsewhere)
{
    const std::string target = "search.invalid:80:127.0.0.1:" + std::to_string(server->port());
    setenv(cu::netsup::connect_to_variable, ("unused.invalid:80:127.0.0.1:1," + target).c_str(), 1);
    EXPECT_EQ(get("http://search.invalid/hello"), hello_body);
    unsetenv(cu::netsup::connect_to_variable);
    EXPECT_EQ(get("http://search.invalid/hello"), "");
}

TEST_F(Netsup, TotalTimeIsBounded)
{
    cu::netsup::FetchLimits limits;
    limits.total_time = milliseconds(300);
    const auto start = Clock::now();
    EXPECT_FALSE(cu::netsup::http_get(server->url("/stall"), limits));
    EXPECT_LT(Clock::now() - start, milliseconds(1500));
}

TEST_F(Netsup, BodySizeIsBounded)
{
    cu::netsup::FetchLimits limits;
    limits.body_size = 5;
    EXPECT_FALSE(cu::netsup::http_get(server->url("/hello"), limits));
    limits.body_size = std::strlen(hello_body);
    EXPECT_EQ(cu::netsup::http_get(server->url("/hello"), limits), hello_body);
}

// A worker fetching a stalled answer: a stop must end the fetch within 100 ms.
std::atomic<Clock::rep> fetch_returned{0};
std::string stall_address;
const cu_command* fetch_command = nullptr;

void fetch_on_worker()
{
    cu_value address = text(stall_address.c_str());
    fetch_command->run(1, &address);
    fetch_returned = Clock::now().time_since_epoch().count();
    cu::stop_point();  // where the service layer ends a stopped worker
}

TEST_F(Netsup, StopEndsAStalledFetch)
{
    stall_address = server->url("/stall");
    fetch_command = &library->commands()[0];
    fetch_returned = 0;
    const std::uint32_t handle = cu::start_worker(reinterpret_cast<std::uint64_t>(&fetch_on_worker));
    std::this_thread::sleep_for(milliseconds(300));
    ASSERT_EQ(fetch_returned.load(), 0) << "the answer stalls";
    const auto stopped = Clock::now();
    cu::stop_worker(handle);
    while (fetch_returned.load() == 0 && Clock::now() - stopped < std::chrono::seconds(5))
        std::this_thread::sleep_for(milliseconds(1));
    ASSERT_NE(fetch_returned.load(), 0);
    const auto took = Clock::time_point(Clock::duration(fetch_returned.load())) - stopped;
    EXPECT_LT(took, milliseconds(100)) << std::chrono::duration_cast<milliseconds>(took).count() << " ms";
    cu::close_worker(handle);
}

}  // namespace
