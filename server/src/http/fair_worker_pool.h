// Threads running queued jobs in turns per client rather than in the order they were posted:
// first among the clients' addresses, then among each address's connections. The next job is
// the one whose address, and then whose connection, has used the least worker time; a client
// that has been waiting counts as having used as much as the one last served, so it gets the
// next turn and cannot bank time while idle. A client that floods the pool with jobs thus
// waits for its own turns and never delays another client by more than about one job per
// thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace cumulo::server {

class FairWorkerPool {
public:
    explicit FairWorkerPool(unsigned threads);
    // Stops (dropping queued jobs) and waits for the running ones.
    ~FairWorkerPool();
    FairWorkerPool(const FairWorkerPool&) = delete;
    FairWorkerPool& operator=(const FairWorkerPool&) = delete;

    // Queues `job` for the client at `address` on its connection `connection`. Jobs posted
    // after stop() are dropped.
    void post(const std::string& address, std::uint64_t connection, std::function<void()> job);
    // Drops the queued jobs and waits up to `grace` for the running ones to end; true when
    // none runs any more.
    bool stop(std::chrono::milliseconds grace);

private:
    using Time = std::chrono::nanoseconds;
    struct Job {
        std::uint64_t order = 0;  // posting order: breaks ties
        std::function<void()> run;
    };
    // Worker time used by one client, and the point it counts from: the `used` of the client
    // served last among its peers. A client below that has been waiting and is lifted to it.
    struct Usage {
        Time used{0};
        unsigned running = 0;
    };
    struct Connection {
        Usage usage;
        std::deque<Job> jobs;
    };
    struct Address {
        Usage usage;
        Time connections_clock{0};  // the `used` the connection served last started from
        std::map<std::uint64_t, Connection> connections;
        std::size_t queued = 0;
    };
    // What a running job charges when it starts, before its real time is known: something, so
    // that a client with a job running already is not chosen again before a waiting one.
    static constexpr Time charge_on_start{std::chrono::milliseconds(1)};

    // A job taken to run, and whose it is (the entries stay while it runs).
    struct Taken {
        std::map<std::string, Address>::iterator address;
        std::map<std::uint64_t, Connection>::iterator connection;
        std::function<void()> run;
    };

    void work();
    // The next job, its client charged charge_on_start; called with the lock held and a job queued.
    Taken take_next();
    // Charges the time a job took, and forgets the clients there is nothing to remember of.
    void charge(const Taken& taken, Time used);

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::map<std::string, Address> addresses_;
    Time clock_{0};  // the `used` the address served last started from
    std::size_t queued_ = 0;
    std::uint64_t next_order_ = 0;
    unsigned running_ = 0;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace cumulo::server
