// How far a node's published index is behind the catalogue of record, and whether the node can
// write it: what GET /healthz reports. The follower tells it each position it learns the
// catalogue has committed (from NOTIFY or a query); the lag in time runs from the moment the node
// first knew of a change it has not applied yet.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>

namespace cumulo::server {

struct HealthReport {
    std::uint64_t position = 0;            // applied by the published index
    std::uint64_t catalogue_position = 0;  // known committed (never below position)
    double lag_seconds = 0;
    bool writes_ok = false;
    bool behind = false;                   // lag_seconds over the bound
};

class NodeHealth {
public:
    using Clock = std::chrono::steady_clock;

    // The catalogue has committed up to `committed`; the node has applied up to `applied`.
    void learn(std::uint64_t committed, std::uint64_t applied, Clock::time_point now = Clock::now());
    void set_writes_ok(bool ok) { writes_ok_.store(ok); }
    bool writes_ok() const { return writes_ok_.load(); }
    HealthReport report(std::uint64_t applied, std::chrono::duration<double> max_lag,
                        Clock::time_point now = Clock::now()) const;

private:
    struct Known {
        std::uint64_t position;
        Clock::time_point since;
    };
    mutable std::mutex mutex_;
    std::deque<Known> unapplied_;  // rising positions the node knew of before it applied them
    std::uint64_t known_ = 0;
    std::atomic<bool> writes_ok_ = true;
};

}  // namespace cumulo::server
