#include "catalogue/node_health.h"

#include <algorithm>

namespace cumulo::server {

void NodeHealth::learn(std::uint64_t committed, std::uint64_t applied, Clock::time_point now)
{
    std::lock_guard lock(mutex_);
    while (!unapplied_.empty() && unapplied_.front().position <= applied)
        unapplied_.pop_front();
    if (committed <= known_)
        return;
    known_ = committed;
    if (committed <= applied)
        return;
    // Positions learnt within one follow interval share the first one's time (the lag reads at
    // most that much high), so a node far behind a busy writer keeps a few entries a second.
    if (!unapplied_.empty() && now - unapplied_.back().since < std::chrono::milliseconds(100))
        unapplied_.back().position = committed;
    else
        unapplied_.push_back({committed, now});
}

HealthReport NodeHealth::report(std::uint64_t applied, std::chrono::duration<double> max_lag,
                                Clock::time_point now) const
{
    HealthReport report;
    report.position = applied;
    report.writes_ok = writes_ok();
    std::lock_guard lock(mutex_);
    report.catalogue_position = std::max(known_, applied);
    // The oldest position known and not yet applied: the node has been short since then.
    auto oldest = std::find_if(unapplied_.begin(), unapplied_.end(), [&](const Known& known) { return known.position > applied; });
    if (oldest != unapplied_.end())
        report.lag_seconds = std::chrono::duration<double>(now - oldest->since).count();
    report.behind = report.lag_seconds > max_lag.count();
    return report;
}

}  // namespace cumulo::server
