#include "http/worker_pool.h"

#include "thread_priority.h"

namespace cumulo::server {

WorkerPool::WorkerPool(unsigned threads, int niceness)
{
    for (unsigned i = 0; i < threads; ++i)
        threads_.emplace_back([this, niceness] {
            if (niceness > 0)
                lower_this_threads_priority(niceness);
            work();
        });
}

WorkerPool::~WorkerPool()
{
    stop(std::chrono::milliseconds::zero());
    for (std::thread& thread : threads_)
        thread.join();
}

void WorkerPool::post(std::function<void()> job)
{
    {
        std::lock_guard lock(mutex_);
        if (stopping_)
            return;
        queue_.push_back(std::move(job));
    }
    wake_.notify_one();
}

bool WorkerPool::stop(std::chrono::milliseconds grace)
{
    std::deque<std::function<void()>> dropped;
    std::unique_lock lock(mutex_);
    stopping_ = true;
    dropped.swap(queue_);
    wake_.notify_all();
    bool ended = idle_.wait_for(lock, grace, [this] { return running_ == 0; });
    lock.unlock();
    // The dropped jobs are destroyed here, outside the lock: they may own anything.
    return ended;
}

void WorkerPool::work()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty())
            return;
        std::function<void()> job = std::move(queue_.front());
        queue_.pop_front();
        ++running_;
        lock.unlock();
        job();
        job = nullptr;
        lock.lock();
        if (--running_ == 0 && queue_.empty())
            idle_.notify_all();
    }
}

}  // namespace cumulo::server
