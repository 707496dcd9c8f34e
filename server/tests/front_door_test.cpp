// The front door's turns for expensive searches, with a handler whose costs are known: a
// search that cannot finish works until its deadline and then says so, as the catalogue does.
#include "http/front_door.h"
#include "index/search_deadline.h"

#include "raw_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

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

}  // namespace
}  // namespace cumulo::server
