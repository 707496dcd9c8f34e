// The front door's turns for expensive searches, with a handler whose costs are known: a
// search that cannot finish works until its deadline and then says so, as the catalogue does.
#include "http/descriptors.h"
#include "http/front_door.h"
#include "index/search_deadline.h"

#include "raw_client.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <cstdio>
#include <thread>
#include <vector>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace cumulo::server {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds quick_time{30};
constexpr milliseconds search_time{1'500};
constexpr unsigned search_workers = 2;

class CostlyHandler : public RequestHandler {
public:
    HttpAnswer answer(std::string_view target, Clock::time_point deadline) override
    {
        if (!target.starts_with("/api/v1/?key=endless"))
            return json_error(200, "quick");  // any small JSON answer
        // A call with more time than a quick worker gives runs on a search worker.
        bool on_search_worker = deadline - Clock::now() > 2 * quick_time;
        if (on_search_worker) {
            int now_running = ++searching_;
            for (int most = most_searching_; now_running > most;)
                most_searching_.compare_exchange_weak(most, now_running);
        }
        while (Clock::now() < deadline) {
            // works, as a scan over every name would
        }
        if (on_search_worker)
            --searching_;
        throw SearchDeadlineExceeded("out of time");
    }

    HttpAnswer refusal(std::string_view, int status, std::string_view message) override
    {
        return json_error(status, message);
    }

    bool is_cheap(std::string_view target) override { return !target.starts_with("/api/v1/?key=endless"); }

    int most_searching() const { return most_searching_; }

private:
    std::atomic<int> searching_ = 0;
    std::atomic<int> most_searching_ = 0;
};

TEST(FrontDoor, ExpensiveSearchesTakeTurnsAndEndIn503WhileQuickOnesFlow)
{
    CostlyHandler handler;
    FrontDoorLimits limits;
    limits.quick_time = quick_time;
    limits.search_time = search_time;
    limits.search_workers = search_workers;
    limits.quick_workers = 4;
    FrontDoor door(handler, limits);
    int port = door.bind("127.0.0.1", 0);
    ASSERT_GT(port, 0);
    std::thread serving([&] { door.run(); });

    // Eight clients, each asking for an endless search again as soon as it is answered.
    constexpr int attackers = 8;
    std::atomic<bool> attacking = true;
    std::atomic<int> answered_503 = 0, wrong = 0;
    std::atomic<long> slowest_ms = 0;
    std::vector<std::thread> clients;
    for (int i = 0; i < attackers; ++i)
        clients.emplace_back([&] {
            RawConnection connection(port);
            while (attacking) {
                Clock::time_point start = Clock::now();
                if (!connection.send("GET /api/v1/?key=endless HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"))
                    break;
                std::string answer = connection.read_answers(1, milliseconds(5'000));
                auto took = static_cast<long>(seconds_since(start) * 1000);
                for (long most = slowest_ms; took > most;)
                    slowest_ms.compare_exchange_weak(most, took);
                if (status_of(answer) == 503 && answer.find("{\"error\":\"the search ran out of time") != std::string::npos)
                    ++answered_503;
                else
                    ++wrong;
            }
        });

    double slowest_quick = 0;
    Clock::time_point attack_start = Clock::now();
    while (seconds_since(attack_start) < 2.5) {
        RawConnection connection(port);
        Clock::time_point start = Clock::now();
        connection.send("GET /api/v1/?key=quick HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
        std::string answer = connection.read_all(milliseconds(5'000));
        slowest_quick = std::max(slowest_quick, seconds_since(start));
        EXPECT_EQ(status_of(answer), 200) << answer;
        std::this_thread::sleep_for(milliseconds(50));
    }
    attacking = false;
    for (std::thread& client : clients)
        client.join();
    door.stop();
    serving.join();

    EXPECT_LT(slowest_quick, 1.0);
    EXPECT_GE(answered_503, attackers);
    EXPECT_EQ(wrong, 0);
    // Every expensive search ends by its deadline, waiting for a turn included.
    EXPECT_LT(slowest_ms, std::chrono::duration_cast<milliseconds>(search_time).count() + 500);
    EXPECT_GE(handler.most_searching(), 1);
    EXPECT_LE(handler.most_searching(), static_cast<int>(search_workers));
    std::printf("quick request under %d endless searches: slowest %.0f ms; expensive answered in at most %ld ms\n",
                attackers, slowest_quick * 1000, slowest_ms.load());
}

// Expensive searches whose start is recorded with the client that asked (the target's "who=").
class TurnRecorder : public RequestHandler {
public:
    HttpAnswer answer(std::string_view target, Clock::time_point) override
    {
        {
            std::lock_guard lock(mutex_);
            starts_.emplace_back(target.substr(target.find("who=") + 4));
        }
        std::this_thread::sleep_for(milliseconds(10));  // works, as a long search would
        return json_error(200, "searched");
    }
    HttpAnswer refusal(std::string_view, int status, std::string_view message) override
    {
        return json_error(status, message);
    }
    std::vector<std::string> starts()
    {
        std::lock_guard lock(mutex_);
        return starts_;
    }

private:
    std::mutex mutex_;
    std::vector<std::string> starts_;
};

// A client flooding the one search worker from eight connections cannot make another client
// wait behind its queue: each of the other's searches starts after at most the flooder's search
// that was running and one more, whether the other comes from another address or from the
// same one on a connection of its own.
TEST(FrontDoor, ExpensiveSearchesTakeTurnsPerClient)
{
    struct Case {
        const char* source;
        int searches;  // one after the other on one connection
    };
    const Case cases[] = {{"127.0.0.2", 4}, {"127.0.0.1", 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.source);
        TurnRecorder handler;
        FrontDoorLimits limits;
        limits.search_workers = 1;
        FrontDoor door(handler, limits);
        int port = door.bind("127.0.0.1", 0);
        ASSERT_GT(port, 0);
        std::thread serving([&] { door.run(); });

        std::atomic<bool> flooding = true;
        std::vector<std::thread> flood;
        for (int i = 0; i < 8; ++i)
            flood.emplace_back([&] {
                RawConnection connection(port, "127.0.0.1");
                while (flooding && connection.send("GET /api/v1/?who=flood HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"))
                    connection.read_answers(1, milliseconds(5'000));
            });
        while (handler.starts().size() < 16)
            std::this_thread::sleep_for(milliseconds(5));

        RawConnection other(port, c.source);
        for (int i = 0; i < c.searches; ++i) {
            std::size_t started_before = handler.starts().size();
            ASSERT_TRUE(other.send("GET /api/v1/?who=other HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
            EXPECT_EQ(status_of(other.read_answers(1, milliseconds(5'000))), 200);
            std::vector<std::string> starts = handler.starts();
            auto own = std::find(starts.begin() + static_cast<std::ptrdiff_t>(started_before), starts.end(), "other");
            ASSERT_NE(own, starts.end());
            EXPECT_LE(own - starts.begin() - static_cast<std::ptrdiff_t>(started_before), 2) << "search " << i;
        }
        flooding = false;
        for (std::thread& client : flood)
            client.join();
        door.stop();
        serving.join();
    }
}

// Descriptors the service used up itself are no internal error: the request gets a 503 and the
// connection idle for longest is closed to give one back.
TEST(FrontDoor, AnswersOutOfDescriptorsWith503AndClosesTheLongestIdle)
{
    class ExhaustedHandler : public RequestHandler {
    public:
        HttpAnswer answer(std::string_view, Clock::time_point) override
        {
            throw OutOfDescriptors("cannot open the catalogue: out of file descriptors");
        }
        HttpAnswer refusal(std::string_view, int status, std::string_view message) override
        {
            return json_error(status, message);
        }
    } handler;
    FrontDoor door(handler);
    int port = door.bind("127.0.0.1", 0);
    ASSERT_GT(port, 0);
    std::thread serving([&] { door.run(); });

    RawConnection idle(port), asking(port);
    ASSERT_TRUE(asking.send("GET /api/v1/?key=abc HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    std::string answer = asking.read_answers(1, milliseconds(3'000));
    EXPECT_EQ(status_of(answer), 503) << answer;
    EXPECT_NE(answer.find("the service is busy"), std::string::npos) << answer;
    bool idle_closed = false;
    idle.read_all(milliseconds(1'000), &idle_closed);
    EXPECT_TRUE(idle_closed);
    door.stop();
    serving.join();
}

// A socket bound to 127.0.0.1 on a free port, as systemd hands one over; closed at the end
// unless the front door has taken it.
struct LoopbackSocket {
    explicit LoopbackSocket(int type, bool listening)
    {
        descriptor = socket(AF_INET, type | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(descriptor, reinterpret_cast<sockaddr*>(&address), length) != 0
            || (listening && listen(descriptor, 16) != 0)
            || getsockname(descriptor, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        port = ntohs(address.sin_port);
    }
    ~LoopbackSocket()
    {
        if (!taken)
            ::close(descriptor);
    }
    int descriptor = -1;
    int port = 0;
    bool taken = false;
};

TEST(FrontDoor, ServesHandedOverSocketsBesideItsOwn)
{
    CostlyHandler handler;
    FrontDoor door(handler);
    LoopbackSocket first(SOCK_STREAM, true), second(SOCK_STREAM, true);
    ASSERT_GT(first.port, 0);
    ASSERT_GT(second.port, 0);
    EXPECT_EQ(door.adopt(first.descriptor), first.port);
    EXPECT_EQ(door.adopt(second.descriptor), second.port);
    first.taken = second.taken = true;
    int own = door.bind("127.0.0.1", 0);
    ASSERT_GT(own, 0);
    std::thread serving([&] { door.run(); });

    for (int port : {first.port, second.port, own}) {
        RawConnection connection(port);
        ASSERT_TRUE(connection.connected()) << port;
        // Each socket's own address names the service.
        connection.send("GET /api/v1/?key=quick HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port)
                        + "\r\nConnection: close\r\n\r\n");
        EXPECT_EQ(status_of(connection.read_all(milliseconds(5'000))), 200) << port;
    }
    door.stop();
    serving.join();
    // Stopping closed the handed-over sockets too.
    EXPECT_FALSE(RawConnection(first.port).connected());
}

TEST(FrontDoor, RefusesToAdoptWhatIsNotAListeningTcpSocket)
{
    CostlyHandler handler;
    FrontDoor door(handler);
    LoopbackSocket bound_only(SOCK_STREAM, false), datagram(SOCK_DGRAM, false);
    int local_stream = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    for (int descriptor : {bound_only.descriptor, datagram.descriptor, local_stream, 1000}) {
        EXPECT_EQ(door.adopt(descriptor), -1) << descriptor;
        if (descriptor != 1000)
            EXPECT_NE(fcntl(descriptor, F_GETFD), -1) << "descriptor " << descriptor << " was closed";
    }
    ::close(local_stream);
}

}  // namespace
}  // namespace cumulo::server
