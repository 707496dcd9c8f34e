// The service against hostile clients, on a real socket: each attack runs while an ordinary
// search must still be answered within a second (a bound for liveness, not a speed goal), and
// each attack gets the answer it should. The bomb and flood cases also bound the memory the
// process reaches, from /proc.
#include "catalogue/catalogue.h"
#include "catalogue/sample_catalogue.h"
#include "service.h"

#include "raw_client.h"
#include "served_catalogue.h"
#include "temp_dir.h"

#include <httplib.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <functional>
#include <ranges>
#include <thread>
#include <vector>

namespace cumulo::server {
namespace {

using std::chrono::milliseconds;

// What one attacking connection saw.
struct Outcome {
    std::string received;  // the answer, if any
    bool closed = false;   // the service closed the connection
    double seconds = 0;    // from the attack's first byte to the close (or the end of waiting)
};

// The request time the service under test gets: short, so that the cases stay quick.
constexpr milliseconds request_time{1'000};
constexpr std::size_t max_connections = 64;
// The bounds of a write's body for the service under test.
constexpr milliseconds body_time{1'500};
constexpr std::size_t max_body_bytes = 1 << 20;

// The longest any attack may wait for its answer (a write of 5,000 shares behind another one
// included): no attack hangs. Sanitized code runs several times slower, on a loaded machine more.
#ifdef __SANITIZE_ADDRESS__
constexpr double longest_answer_seconds = 10.0;
#else
constexpr double longest_answer_seconds = 3.0;
#endif

// A client waits this much longer than that before it gives up reading, so that a late answer
// is seen late, not missed.
constexpr milliseconds read_deadline{static_cast<int>(longest_answer_seconds * 1000) + 1'000};

// `bytes` written `step` bytes at a time with `pause` between, until the service answers or
// closes; then what it sent.
Outcome trickle(int port, std::string_view bytes, std::size_t step, milliseconds pause)
{
    Outcome outcome;
    RawConnection connection(port);
    Clock::time_point start = Clock::now();
    for (std::size_t at = 0; at < bytes.size() && !connection.readable(); at += step) {
        if (!connection.send(bytes.substr(at, step)))
            break;
        std::this_thread::sleep_for(pause);
    }
    outcome.received = connection.read_all(read_deadline, &outcome.closed);
    outcome.seconds = seconds_since(start);
    return outcome;
}

// Sends `bytes` at once and reads until the service closes (or the read deadline passes).
Outcome send_and_read(int port, std::string_view bytes)
{
    return trickle(port, bytes, bytes.size(), milliseconds::zero());
}

std::string request(std::string_view target, std::string_view more_head = {})
{
    return "GET " + std::string(target) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + std::string(more_head) + "\r\n";
}

// A request without the empty line that ends its head.
std::string unfinished_request(std::string_view target)
{
    std::string head = request(target);
    return head.substr(0, head.size() - 2);
}

// 64 MiB of zeros, gzip-compressed: about 64 KB on the wire.
std::string gzip_bomb()
{
    std::string zeros(64 << 20, '\0');
    z_stream stream{};
    deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&stream, zeros.size()), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(zeros.data());
    stream.avail_in = static_cast<uInt>(zeros.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

// A write's head (and as much of its body as given), with `more_head` lines.
std::string write_head(std::string_view more_head, std::size_t content_length, std::string_view body = {})
{
    return "POST /api/v1/shares HTTP/1.1\r\nHost: 127.0.0.1\r\n" + std::string(more_head)
           + "Content-Length: " + std::to_string(content_length) + "\r\n\r\n" + std::string(body);
}

const std::string ordinary_target = "/api/v1/?key=%E8%80%83%E7%A0%94&limit=200&sort=size&desc=f&start=0&in=";

struct HostileCase {
    const char* name;
    int connections;                          // attacking connections at once
    std::function<Outcome(int port)> attack;  // one connection's attack
    int status;                               // the answer each must get; 0: none, only a close
    bool closed;                              // whether the service must close the connection
    std::string_view answer_holds;            // a text the answer must contain
    long memory_bound_kb = 0;                 // peak resident growth allowed, 0: not checked
    bool waits_out_request_time = false;      // closed at the request time, not before
};

class HostileClients : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dir_ = new TempDir;
        std::string path = dir_->file("hostile.sqlite");
        {
            Catalogue catalogue(path);
            build_sample_catalogue(catalogue, default_sample_size);
        }
        FrontDoorLimits limits;
        limits.request_time = request_time;
        limits.max_connections = max_connections;
        limits.body_time = body_time;
        limits.max_body_bytes = max_body_bytes;
        served_ = new ServedCatalogue(path, limits, {"cumulo.lan"});
        port_ = served_->port;
        ASSERT_GT(port_, 0);
    }

    static void TearDownTestSuite()
    {
        delete served_;
        delete dir_;
    }

    static inline TempDir* dir_ = nullptr;
    static inline ServedCatalogue* served_ = nullptr;
    static inline int port_ = 0;
};

// AddressSanitizer keeps freed memory in quarantine, so there the resident size says nothing
// about what the service holds.
#ifdef __SANITIZE_ADDRESS__
constexpr bool memory_is_measurable = false;
#else
constexpr bool memory_is_measurable = true;
#endif

// Peak resident memory since the last reset (kB); the reset makes the next peak start afresh.
long peak_resident_kb()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.starts_with("VmHWM:"))
            return std::stol(line.substr(6));
    return -1;
}

void reset_peak_resident()
{
    std::ofstream("/proc/self/clear_refs") << "5";
}

TEST_F(HostileClients, EveryAttackGetsItsAnswerWhileOrdinarySearchesFlow)
{
    const std::string bomb = gzip_bomb();
    const std::string writer = "Authorization: Bearer " + served_->token + "\r\n";
    std::string batch;
    for (int i = 0; i < 5'000; ++i)
        batch += R"({"name":"hostile batch )" + std::to_string(i) + R"(","type":"file","size":1,"shareid":)"
                 + std::to_string(900'000 + i) + R"(,"uk":1})" "\n";
    const HostileCase cases[] = {
        {"request sent a byte every 100 ms", 8,
         [](int port) { return trickle(port, request("/api/v1/?key=abc"), 1, milliseconds(100)); }, 0, true, "", 0,
         true},
        {"endless header lines", 8,
         [](int port) {
             std::string head = unfinished_request("/api/v1/?key=abc");
             for (int i = 0; i < 1000; ++i)
                 head += "X-Line: " + std::to_string(i) + "\r\n";
             return trickle(port, head, 16, milliseconds(20));
         },
         0, true, "", 0, true},
        {"idle connections", 8, [](int port) { return send_and_read(port, ""); }, 0, true, "", 0, true},
        {"keep-alive clients left idle after an answer", 8,
         [](int port) { return send_and_read(port, request(ordinary_target)); }, 200, true, "\"list\":[", 0, true},
        {"more idle connections than the service keeps", static_cast<int>(max_connections) + 36,
         [](int port) { return send_and_read(port, ""); }, 0, true, ""},
        {"gzip bomb as a GET body", 4,
         [&bomb](int port) {
             return send_and_read(port, request("/api/v1/?key=abc", "Content-Encoding: gzip\r\nContent-Length: "
                                                                     + std::to_string(bomb.size()) + "\r\n")
                                            + bomb);
         },
         413, true, "{\"error\":\"requests carry no body\"}", 16 * 1024},
        {"gzip bomb posted", 4,
         [&bomb](int port) {
             std::string post = request("/api/v1/", "Content-Encoding: br\r\nContent-Length: "
                                                        + std::to_string(bomb.size()) + "\r\n");
             post.replace(0, 3, "POST");
             return send_and_read(port, post + bomb);
         },
         405, true, "only GET and HEAD", 16 * 1024},
        {"20,000 header lines of 8 KB", 2,
         [](int port) {
             Outcome outcome;
             RawConnection connection(port);
             Clock::time_point start = Clock::now();
             connection.send(unfinished_request("/api/v1/?key=abc"));
             std::string line = "X-Flood: " + std::string(8 * 1024, 'f') + "\r\n";
             for (int i = 0; i < 20'000 && !connection.readable() && connection.send(line); ++i) {
             }
             outcome.received = connection.read_all(read_deadline, &outcome.closed);
             outcome.seconds = seconds_since(start);
             return outcome;
         },
         431, true, "{\"error\":\"the request head is too large\"}", 16 * 1024},
        {"deep offset: key=%20&start=1000000000", 8,
         [](int port) { return send_and_read(port, request("/api/v1/?key=%20&start=1000000000", "Connection: close\r\n")); },
         400, true, "'start' + 'limit' must be at most 10000"},
        {"share id past 64 bits (uk + 2^64)", 2,
         [](int port) {
             return send_and_read(port, request("/share/link?uk=18446744073709551617&shareid=1", "Connection: close\r\n"));
         },
         400, true, "分享地址无效"},
        {"request target of 9,000 bytes", 2,
         [](int port) { return send_and_read(port, request("/api/v1/?key=" + std::string(9'000, 'a'))); }, 414, true,
         "{\"error\":\"the request target is too long\"}"},
        {"no HTTP at all", 2, [](int port) { return send_and_read(port, "HELLO\r\n\r\n"); }, 400, true,
         "not well-formed"},
        {"DELETE", 2, [](int port) { return send_and_read(port, "DELETE /api/v1/ HTTP/1.1\r\nConnection: close\r\n\r\n"); },
         405, true, "Allow: GET, HEAD"},
        {"write without the token, 64 MiB announced", 4,
         [](int port) { return send_and_read(port, write_head("", 64 << 20, std::string(64 * 1024, 'x'))); }, 401,
         true, "WWW-Authenticate: Bearer", 16 * 1024},
        {"write of 64 MiB announced, with the token", 4,
         [&writer](int port) { return send_and_read(port, write_head(writer, 64 << 20, std::string(64 * 1024, 'x'))); },
         413, true, "longer than 1048576 bytes", 16 * 1024},
        {"gzip bomb written with the token", 4,
         [&](int port) { return send_and_read(port, write_head(writer + "Content-Encoding: gzip\r\n", bomb.size(), bomb)); },
         415, true, "compressed", 16 * 1024},
        {"write body sent a byte every 100 ms", 4,
         [&](int port) { return trickle(port, write_head(writer, batch.size(), batch), 1, milliseconds(100)); }, 0, true,
         ""},
        {"writes of 5,000 shares in 64 KB pieces", 2,
         [&](int port) {
             return trickle(port, write_head(writer + "Connection: close\r\n", batch.size(), batch), 64 * 1024,
                            milliseconds(10));
         },
         200, true, "\"bad_line_count\":0"},
    };

    for (const HostileCase& c : cases) {
        SCOPED_TRACE(c.name);
        reset_peak_resident();
        long resident_before = peak_resident_kb();
        // Each attacker repeats its attack for at least a second.
        std::vector<std::vector<Outcome>> outcomes(static_cast<std::size_t>(c.connections));
        std::atomic<int> running = c.connections;
        std::vector<std::thread> attackers;
        Clock::time_point attack_start = Clock::now();
        for (std::vector<Outcome>& own : outcomes)
            attackers.emplace_back([&] {
                do
                    own.push_back(c.attack(port_));
                while (seconds_since(attack_start) < 1.0);
                --running;
            });

        // Ordinary searches, each on a new connection, for as long as the attack lasts.
        double slowest = 0;
        int ordinary = 0;
        std::this_thread::sleep_for(milliseconds(20));
        do {
            httplib::Client client("127.0.0.1", port_);
            client.set_read_timeout(5, 0);
            Clock::time_point start = Clock::now();
            auto result = client.Get(ordinary_target.c_str());
            slowest = std::max(slowest, seconds_since(start));
            ++ordinary;
            ASSERT_TRUE(result && result->status == 200 && result->body.starts_with("{\"list\":[{"));
            std::this_thread::sleep_for(milliseconds(50));
        } while (running > 0);
        for (std::thread& attacker : attackers)
            attacker.join();
        long peak_growth = peak_resident_kb() - resident_before;

        EXPECT_LT(slowest, 1.0) << ordinary << " ordinary searches";
        int attacks = 0;
        for (const Outcome& outcome : std::views::join(outcomes)) {
            ++attacks;
            EXPECT_EQ(status_of(outcome.received), c.status) << outcome.received.substr(0, 300);
            EXPECT_NE(outcome.received.find(c.answer_holds), std::string::npos) << outcome.received.substr(0, 300);
            EXPECT_EQ(outcome.closed, c.closed);
            if (c.waits_out_request_time)
                EXPECT_GE(outcome.seconds, 0.9 * std::chrono::duration<double>(request_time).count());
            EXPECT_LT(outcome.seconds, longest_answer_seconds);
        }
        if (c.memory_bound_kb != 0 && memory_is_measurable)
            EXPECT_LT(peak_growth, c.memory_bound_kb);
        std::printf("| %s | %d | %d | %d | %.0f ms over %d searches | %ld kB |\n", c.name, c.connections, attacks,
                    c.status, slowest * 1000, ordinary, peak_growth);
    }
}

// Only the names the service is reached by are served, whether a request gives its name in the
// Host header or in an absolute target; every answer, refusals included, carries the lines
// that keep a browser from sniffing, framing, loading foreign content and passing addresses on.
TEST_F(HostileClients, ServesOnlyItsOwnNamesAndProtectsEveryAnswer)
{
    const std::string port = std::to_string(port_);
    struct NameCase {
        std::string request_head;  // up to the empty line
        int status;
        std::string_view answer_holds;
    };
    const std::string search = "GET /api/v1/?key=a HTTP/1.1\r\n";
    const NameCase cases[] = {
        {search + "Host: 127.0.0.1:" + port + "\r\n", 200, "{\"list\":["},
        {search + "Host: 127.0.0.1\r\n", 200, "{\"list\":["},
        {search + "Host: LocalHost:" + port + "\r\n", 200, "{\"list\":["},
        {search + "Host: [::1]:" + port + "\r\n", 200, "{\"list\":["},
        {search + "Host: cumulo.lan:" + port + "\r\n", 200, "{\"list\":["},
        {search + "Host: rebound.example\r\n", 421, "does not answer to that host name"},
        {search + "Host: rebound.example:" + port + "\r\n", 421, "does not answer to that host name"},
        {search + "Host: 127.0.0.1:1\r\n", 421, "does not answer to that host name"},
        {"GET /s/zzzzzz HTTP/1.1\r\nHost: rebound.example\r\n", 421, "<p>this service does not answer"},
        {search, 400, "exactly one Host header"},
        {search + "Host: 127.0.0.1\r\nHost: rebound.example\r\n", 400, "exactly one Host header"},
        {"GET /api/v1/?key=a HTTP/1.0\r\n", 200, "{\"list\":["},
        {"GET http://127.0.0.1:" + port + "/api/v1/?key=a HTTP/1.1\r\nHost: 127.0.0.1\r\n", 200, "{\"list\":["},
        {"GET HTTP://LOCALHOST:" + port + "/api/v1/?key=a HTTP/1.1\r\nHost: rebound.example\r\n", 200,
         "{\"list\":["},
        {"GET http://rebound.example/api/v1/?key=a HTTP/1.1\r\nHost: 127.0.0.1\r\n", 421,
         "{\"error\":\"this service does not answer"},
        // No path: the search page at "/".
        {"GET http://127.0.0.1:" + port + "?key=a HTTP/1.1\r\nHost: 127.0.0.1\r\n", 200, "<title>“a”的搜索结果"},
        {"GET http://me@127.0.0.1/api/v1/?key=a HTTP/1.1\r\nHost: 127.0.0.1\r\n", 400, "names no host"},
        {"GET /api/v1/?key= HTTP/1.1\r\nHost: 127.0.0.1\r\n", 400, "{\"error\":"},
        {"DELETE /s/x HTTP/1.1\r\nHost: 127.0.0.1\r\n", 405, "only GET and HEAD"},
        {"GET http://127.0.0.1/api/v1/?key=a HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Big: " + std::string(9'000, 'x') + "\r\n",
         431, "{\"error\":\"the request head is too large\"}"},
    };
    const std::string protective_lines[] = {
        "\r\nX-Content-Type-Options: nosniff\r\n",
        // (pages add "; connect-src 'self'" for their script)
        "\r\nContent-Security-Policy: default-src 'none'; style-src 'self'; script-src 'self'; img-src 'self'; "
        "form-action 'self'; base-uri 'none'; frame-ancestors 'none'",
        "\r\nX-Frame-Options: DENY\r\n",
        "\r\nReferrer-Policy: no-referrer\r\n",
    };
    for (const NameCase& c : cases) {
        SCOPED_TRACE(c.request_head);
        Outcome outcome = send_and_read(port_, c.request_head + "Connection: close\r\n\r\n");
        EXPECT_EQ(status_of(outcome.received), c.status) << outcome.received.substr(0, 300);
        EXPECT_NE(outcome.received.find(c.answer_holds), std::string::npos) << outcome.received.substr(0, 300);
        std::string head = outcome.received.substr(0, outcome.received.find("\r\n\r\n") + 2);
        for (const std::string& line : protective_lines)
            EXPECT_NE(head.find(line), std::string::npos) << line;
    }
}

// Pipelining, request bodies and headers the service ignores: exact answers, one connection.
TEST_F(HostileClients, FramesAnswersExactly)
{
    RawConnection pipelined(port_);
    ASSERT_TRUE(pipelined.send(request(ordinary_target) + request("/s/nonexistent") + "HEAD " + ordinary_target
                               + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n"));
    std::string answers = pipelined.read_all(milliseconds(3'000));
    std::size_t second = answers.find("HTTP/1.1 404");
    std::size_t third = answers.rfind("HTTP/1.1 200");
    ASSERT_EQ(status_of(answers), 200) << answers.substr(0, 300);
    ASSERT_NE(second, std::string::npos);
    ASSERT_NE(third, std::string::npos);
    EXPECT_LT(second, third);
    // The HEAD answer has the search's length and no body.
    std::string first_length = answers.substr(answers.find("Content-Length: "), answers.find("\r\n\r\n") - answers.find("Content-Length: "));
    EXPECT_NE(answers.find(first_length, third), std::string::npos);
    EXPECT_TRUE(answers.ends_with("\r\n\r\n"));

    // A GET body is not read as a second request.
    RawConnection smuggler(port_);
    std::string inner = request("/api/v1/?key=abc");
    ASSERT_TRUE(smuggler.send(request("/api/v1/?key=abc", "Content-Length: " + std::to_string(inner.size()) + "\r\n")
                              + inner));
    std::string refused = smuggler.read_all(milliseconds(3'000));
    EXPECT_EQ(status_of(refused), 413);
    EXPECT_EQ(RawConnection::answers_in(refused), 1) << refused;

    // A Range header is ignored: the whole answer, never a part of it.
    RawConnection ranged(port_);
    ASSERT_TRUE(ranged.send(request(ordinary_target, "Range: bytes=0-10\r\nConnection: close\r\n")));
    std::string whole = ranged.read_all(milliseconds(3'000));
    EXPECT_EQ(status_of(whole), 200);
    EXPECT_EQ(whole.find("Content-Range"), std::string::npos);
    std::size_t body = whole.find("\r\n\r\n") + 4;
    EXPECT_EQ(whole.substr(whole.find("Content-Length: ") + 16, whole.find("\r\n", whole.find("Content-Length: ")) - whole.find("Content-Length: ") - 16),
              std::to_string(whole.size() - body));
    EXPECT_TRUE(whole.ends_with("]}"));
}

}  // namespace
}  // namespace cumulo::server
