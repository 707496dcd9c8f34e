// A fixed number of threads running queued jobs in the order they were posted.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace cumulo::server {

class WorkerPool {
public:
    // `niceness` above 0 lowers the threads' priority, so that other work preempts theirs
    // (thread_priority.h).
    explicit WorkerPool(unsigned threads, int niceness = 0);
    // Stops (dropping queued jobs) and waits for the running ones.
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Jobs posted after stop() are dropped.
    void post(std::function<void()> job);
    // Drops the queued jobs and waits up to `grace` for the running ones to end; true when
    // none runs any more.
    bool stop(std::chrono::milliseconds grace);

private:
    void work();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<std::function<void()>> queue_;
    unsigned running_ = 0;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace cumulo::server
