#include "http/fair_worker_pool.h"

#include <algorithm>
#include <tuple>

namespace cumulo::server {

FairWorkerPool::FairWorkerPool(unsigned threads)
{
    for (unsigned i = 0; i < threads; ++i)
        threads_.emplace_back([this] { work(); });
}

FairWorkerPool::~FairWorkerPool()
{
    stop(std::chrono::milliseconds::zero());
    for (std::thread& thread : threads_)
        thread.join();
}

void FairWorkerPool::post(const std::string& address, std::uint64_t connection, std::function<void()> job)
{
    {
        std::lock_guard lock(mutex_);
        if (stopping_)
            return;
        Address& queues = addresses_[address];
        queues.connections[connection].jobs.push_back({next_order_++, std::move(job)});
        ++queues.queued;
        ++queued_;
    }
    wake_.notify_one();
}

bool FairWorkerPool::stop(std::chrono::milliseconds grace)
{
    std::vector<std::function<void()>> dropped;
    std::unique_lock lock(mutex_);
    stopping_ = true;
    // Running jobs still charge their clients when they end: the clients' entries stay.
    for (auto& [name, address] : addresses_) {
        for (auto& [id, connection] : address.connections) {
            for (Job& job : connection.jobs)
                dropped.push_back(std::move(job.run));
            connection.jobs.clear();
        }
        address.queued = 0;
    }
    queued_ = 0;
    wake_.notify_all();
    bool ended = idle_.wait_for(lock, grace, [this] { return running_ == 0; });
    lock.unlock();
    // The dropped jobs are destroyed here, outside the lock: they may own anything.
    return ended;
}

FairWorkerPool::Taken FairWorkerPool::take_next()
{
    // The address, then the connection, that has used the least, counted from the clock.
    auto chosen = addresses_.end();
    for (auto address = addresses_.begin(); address != addresses_.end(); ++address) {
        if (address->second.queued == 0)
            continue;
        const Usage& usage = address->second.usage;
        if (chosen == addresses_.end()
            || std::tuple(std::max(usage.used, clock_), usage.used)
                   < std::tuple(std::max(chosen->second.usage.used, clock_), chosen->second.usage.used))
            chosen = address;
    }
    Address& address = chosen->second;
    auto next = address.connections.end();
    for (auto connection = address.connections.begin(); connection != address.connections.end(); ++connection) {
        if (connection->second.jobs.empty())
            continue;
        auto rank = [&address](const Connection& c) {
            return std::tuple(std::max(c.usage.used, address.connections_clock), c.usage.used, c.jobs.front().order);
        };
        if (next == address.connections.end() || rank(connection->second) < rank(next->second))
            next = connection;
    }
    Connection& connection = next->second;

    Time address_from = std::max(address.usage.used, clock_);
    clock_ = address_from;
    address.usage.used = address_from + charge_on_start;
    ++address.usage.running;
    Time connection_from = std::max(connection.usage.used, address.connections_clock);
    address.connections_clock = connection_from;
    connection.usage.used = connection_from + charge_on_start;
    ++connection.usage.running;

    Taken taken{chosen, next, std::move(connection.jobs.front().run)};
    connection.jobs.pop_front();
    --address.queued;
    --queued_;
    return taken;
}

void FairWorkerPool::charge(const Taken& taken, Time used)
{
    Address& address = taken.address->second;
    Connection& connection = taken.connection->second;
    address.usage.used += used - charge_on_start;
    --address.usage.running;
    connection.usage.used += used - charge_on_start;
    --connection.usage.running;
    // A client with nothing queued or running and no more used than the clock is remembered
    // for nothing: it would come back counted from the clock all the same.
    std::erase_if(address.connections, [&address](const auto& entry) {
        const Connection& c = entry.second;
        return c.jobs.empty() && c.usage.running == 0 && c.usage.used <= address.connections_clock;
    });
    std::erase_if(addresses_, [this](const auto& entry) {
        const Address& a = entry.second;
        return a.connections.empty() && a.usage.running == 0 && a.usage.used <= clock_;
    });
}

void FairWorkerPool::work()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || queued_ != 0; });
        if (queued_ == 0)
            return;
        Taken taken = take_next();
        ++running_;
        lock.unlock();
        auto start = std::chrono::steady_clock::now();
        taken.run();
        taken.run = nullptr;
        Time used = std::chrono::steady_clock::now() - start;
        lock.lock();
        charge(taken, used);
        if (--running_ == 0 && queued_ == 0)
            idle_.notify_all();
    }
}

}  // namespace cumulo::server
