// The lag /healthz reports: from the moment the node first knew of a change it has not applied,
// to now; 0 once it has applied every change it knows of.
#include "catalogue/node_health.h"

#include <gtest/gtest.h>

namespace cumulo::server {
namespace {

using namespace std::chrono_literals;

TEST(NodeHealth, LagRunsFromTheOldestKnownChangeNotApplied)
{
    const NodeHealth::Clock::time_point t0{};
    NodeHealth health;
    health.learn(10, 5, t0);           // 6..10 committed, 5 applied
    health.learn(12, 5, t0 + 4s);
    health.learn(13, 5, t0 + 4050ms);  // within the follow interval of 12: counted from t0 + 4 s
    health.learn(20, 5, t0 + 6s);
    struct Case {
        const char* what;
        std::uint64_t applied;
        NodeHealth::Clock::time_point now;
        std::chrono::seconds max_lag;
        double lag_seconds;
        bool behind;
    };
    const Case cases[] = {
        {"short of 10 for 3 s", 5, t0 + 3s, 5s, 3.0, false},
        {"short of 10 past the bound", 5, t0 + 7s, 5s, 7.0, true},
        {"10 applied, short of 13 since 4 s", 10, t0 + 7s, 5s, 3.0, false},
        {"13 applied, short of 20 since 6 s", 13, t0 + 7s, 0s, 1.0, true},
        {"all applied", 20, t0 + 9s, 0s, 0.0, false},
        {"applied past what it knew", 25, t0 + 9s, 0s, 0.0, false},
    };
    for (const Case& c : cases) {
        HealthReport report = health.report(c.applied, c.max_lag, c.now);
        EXPECT_DOUBLE_EQ(report.lag_seconds, c.lag_seconds) << c.what;
        EXPECT_EQ(report.behind, c.behind) << c.what;
        EXPECT_EQ(report.position, c.applied) << c.what;
        EXPECT_EQ(report.catalogue_position, std::max<std::uint64_t>(20, c.applied)) << c.what;
    }
}

}  // namespace
}  // namespace cumulo::server
