// Whole search cycles, repeated: completed, refused and stopped searches leak
// nothing (runtime census, open descriptors, connections, LeakSanitizer), and
// a storm of 1,000 start/stop toggles at random moments against a slow
// service ends idle and consistent with every handle released.
#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <random>
#include <set>

#include "answers.h"
#include "reliability_env.h"

using namespace std::chrono_literals;

namespace reliability {
namespace {

constexpr int kRows = 30;

// A slow service: the answer goes out 64 bytes every 2 ms (about 100 ms in
// all), so a stop lands during the fetch, during the rows, or after the end.
LoopbackServer::Reply slow_answer()
{
    LoopbackServer::Reply reply{LoopbackServer::ok(e2e::make_answer(kRows).body)};
    reply.piece = 64;
    reply.pause = 2ms;
    return reply;
}

bool idle() { return e2e::search_button()->text() == kIdle; }

// What must be back where it was once no search runs.
struct Holdings {
    cu::Census census;
    std::vector<std::string> descriptors;
};

Holdings holdings() { return {cu::census(), open_descriptors()}; }

// Waits for the stopped workers to end and their connections to close, then
// compares with `before`.
void expect_nothing_left(const Holdings& before, const std::set<std::int32_t>& handles)
{
    for (std::int32_t h : handles)
        EXPECT_TRUE(e2e::pump_until([&] { return !cu::worker_known(static_cast<std::uint32_t>(h)); }, 5s))
            << "handle " << h << " was never released";
    EXPECT_TRUE(e2e::pump_until([] { return service->open_connections() == 0; }, 5s))
        << service->open_connections() << " connections still open";
    const Holdings after = holdings();
    EXPECT_EQ(after.census.workers, before.census.workers);
    EXPECT_EQ(after.census.resources, before.census.resources);
    EXPECT_EQ(after.census.blocks, before.census.blocks);
    EXPECT_EQ(after.census.stray_closes, before.census.stray_closes) << "a handle was closed twice";
    // Every search opens and closes sockets and pipes; the toolkit may open
    // one descriptor for the process on first need, at any time. A descriptor
    // kept per search would show ten (or hundreds) more.
    std::vector<std::string> added;
    std::set_difference(after.descriptors.begin(), after.descriptors.end(), before.descriptors.begin(),
                        before.descriptors.end(), std::back_inserter(added));
    EXPECT_LE(added.size(), 1u) << "descriptors left open, the first: " << added.front();
    EXPECT_TRUE(no_leaks_found()) << "LeakSanitizer found unreachable blocks (report above)";
}

class Cycles : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(e2e::pump_until(idle)) << "a search still runs";
        e2e::take_modals();
        service->set_reply({LoopbackServer::ok(e2e::make_answer(kRows).body)});
        // One full search first, so that what the first search sets up for
        // good (the script engine, the fetch library) is in the baseline.
        ASSERT_TRUE(run_search("abc").ended);
    }
};

struct CycleKind {
    const char* name;
    void (*run)(std::set<std::int32_t>& handles);
};

void completed(std::set<std::int32_t>& handles)
{
    service->set_reply({LoopbackServer::ok(e2e::make_answer(kRows).body)});
    e2e::keyword_box()->setText("abc");
    e2e::search_button()->click();
    handles.insert(e2e::worker_handle());
    ASSERT_TRUE(e2e::pump_until(idle));
    EXPECT_EQ(e2e::status_label()->text(), kDone);
    EXPECT_EQ(e2e::result_list()->topLevelItemCount(), kRows);
}

void refused(std::set<std::int32_t>& handles)
{
    e2e::keyword_box()->setText("ab");
    e2e::search_button()->click();
    handles.insert(e2e::worker_handle());
    ASSERT_TRUE(e2e::pump_until(idle));
    EXPECT_EQ(e2e::take_modals().size(), 1u);
}

void stopped_while_stalled(std::set<std::int32_t>& handles)
{
    LoopbackServer::Reply stalled;
    stalled.stalled = true;
    service->set_reply(stalled);
    const int connections = service->connections();
    e2e::keyword_box()->setText("abc");
    e2e::search_button()->click();
    handles.insert(e2e::worker_handle());
    ASSERT_TRUE(e2e::pump_until([&] { return service->connections() > connections; }));
    e2e::search_button()->click();
    EXPECT_EQ(e2e::status_label()->text(), kStopped);
}

void stopped_while_writing(std::set<std::int32_t>& handles)
{
    service->set_reply({LoopbackServer::ok(e2e::make_answer(2000).body)});
    e2e::keyword_box()->setText("abc");
    e2e::search_button()->click();
    handles.insert(e2e::worker_handle());
    ASSERT_TRUE(e2e::pump_until([] { return e2e::result_list()->topLevelItemCount() >= 5; }, 30s));
    e2e::search_button()->click();
    EXPECT_EQ(e2e::status_label()->text(), kStopped);
}

TEST_F(Cycles, WholeSearchCyclesLeakNothing)
{
    const CycleKind kinds[] = {
        {"completed", completed},
        {"refused", refused},
        {"stopped while the fetch waits", stopped_while_stalled},
        {"stopped while rows are written", stopped_while_writing},
    };
    for (const CycleKind& kind : kinds) {
        SCOPED_TRACE(kind.name);
        std::set<std::int32_t> handles;
        kind.run(handles);  // the first of a kind may set up what stays
        for (std::int32_t h : handles) ASSERT_TRUE(e2e::pump_until([&] { return !cu::worker_known(h); }, 5s));
        ASSERT_TRUE(e2e::pump_until([] { return service->open_connections() == 0; }, 5s));
        no_leaks_found();  // what the first one left is reported once, here
        const Holdings before = holdings();
        for (int i = 0; i < 10; ++i) kind.run(handles);
        expect_nothing_left(before, handles);
        std::printf("%s: 10 cycles, %zu blocks held, %zu descriptors\n", kind.name, before.census.blocks,
                    before.descriptors.size());
    }
}

TEST_F(Cycles, StopStartStormOfAThousandToggles)
{
    service->set_reply(slow_answer());
    e2e::keyword_box()->setText("abc");
    const Holdings before = holdings();
    std::mt19937 random(20261210);
    // Mostly a few milliseconds (stops during the fetch); one toggle in ten
    // waits long enough for rows, or for the search to end by itself.
    std::uniform_int_distribution<int> short_ms(0, 12), long_ms(50, 250), pick(0, 9);
    std::set<std::int32_t> handles;
    int starts = 0, ended_alone = 0;
    const auto started = std::chrono::steady_clock::now();
    for (int toggle = 0; toggle < 1000; ++toggle) {
        // Only an enabled button takes a click; it always is, running or not.
        ASSERT_TRUE(e2e::search_button()->isEnabled());
        const bool starting = idle();
        if (starting && e2e::status_label()->text() == kDone) ++ended_alone;
        e2e::search_button()->click();
        if (starting) {
            ++starts;
            handles.insert(e2e::worker_handle());
            ASSERT_EQ(e2e::search_button()->text(), kRunning);
        } else {
            ASSERT_EQ(e2e::search_button()->text(), kIdle);
            ASSERT_EQ(e2e::status_label()->text(), kStopped);
        }
        e2e::pump_for(std::chrono::milliseconds(pick(random) == 0 ? long_ms(random) : short_ms(random)));
    }
    // The last search, if one runs, ends by itself.
    ASSERT_TRUE(e2e::pump_until(idle, 30s)) << "deadlock: the last search never ended";
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);

    const e2e::IdleState state = e2e::idle_state();
    EXPECT_TRUE(state.inputs_enabled);
    const auto rows = list_rows();
    if (state.status == kDone) {
        ASSERT_EQ(rows.size(), static_cast<std::size_t>(kRows));
        for (int r = 0; r < kRows; ++r) EXPECT_EQ(rows[r][0], QString::number(r + 1));
    } else {
        EXPECT_EQ(state.status, kStopped);
        EXPECT_LE(rows.size(), static_cast<std::size_t>(kRows));
        e2e::pump_for(300ms);
        EXPECT_EQ(list_rows(), rows) << "a stopped worker still wrote";
    }
    EXPECT_EQ(handles.size(), static_cast<std::size_t>(starts)) << "a handle was given twice";
    expect_nothing_left(before, handles);
    std::printf("storm: 1000 toggles, %d searches started, %d ended by themselves before a toggle, %d connections, "
                "%lld ms, ended %s with %zu rows\n",
                starts, ended_alone, service->connections(), static_cast<long long>(took.count()), state.status.toStdString().c_str(),
                rows.size());
}

}  // namespace
}  // namespace reliability
