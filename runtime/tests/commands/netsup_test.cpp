#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>

#include "command_harness.h"
#include "http_fetch.h"
#include "library_ids.h"
#include "test_http_server.h"
#include "worker.h"

using namespace cu::test;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

class Netsup : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        library = new SupportLibrary("netsup");
        server = new TestHttpServer;
    }
    static void TearDownTestSuite()
    {
        delete server;
        delete library;
    }
    static SupportLibrary* library;
    static TestHttpServer* server;

    // What the program gets for an address: the body, or "" for nothing.
    static std::string get(const std::string& address)
    {
        return take_bytes(call(library->commands(), 0x1C, {text(address.c_str())}));
    }
};
SupportLibrary* Netsup::library = nullptr;
TestHttpServer* Netsup::server = nullptr;

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
        {"/hello", TestHttpServer::hello_body},
        {"/binary", std::string("a\0b\xFF", 4)},
        {"/slow", std::string(10, ' ').replace(0, 10, "0123456789") + std::string(90, ' ')},
        {"/redirect", TestHttpServer::hello_body},
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
    EXPECT_EQ(get("http://search.invalid/hello"), TestHttpServer::hello_body);
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
    limits.body_size = std::strlen(TestHttpServer::hello_body);
    EXPECT_EQ(cu::netsup::http_get(server->url("/hello"), limits), TestHttpServer::hello_body);
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
