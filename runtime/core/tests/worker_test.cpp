// Workers: normal end, stops while blocked or looping, stale and repeated
// stops, handles released only by their own worker, reclaiming on stop.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "blocks.h"
#include "worker.h"

namespace {
using namespace std::chrono_literals;

// The routines below stand in for image routines: no arguments, and they
// share state with the test through these globals.
std::atomic<int> stage{0};
std::atomic<void*> kept_block{nullptr};
std::atomic<int> destroyed{0};
std::atomic<std::uint32_t> handle_to_close{0};
std::atomic<bool> may_close{false};

void wait_for(auto&& done)
{
    for (int i = 0; i < 2000 && !done(); ++i) std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(done());
}

std::uint64_t address(void (*routine)()) { return reinterpret_cast<std::uint64_t>(routine); }

void reset()
{
    stage = 0;
    kept_block = nullptr;
    destroyed = 0;
    handle_to_close = 0;
    may_close = false;
}

void finishing_routine()
{
    kept_block = cu::allocate_block(16);
    cu::free_block(cu::allocate_block(8));  // freed on the worker: unlinked at once
    stage = 1;
}

// Blocks until woken by a stop, the way the HTTP fetch waits.
struct Gate {
    std::mutex m;
    std::condition_variable cv;
    bool open = false;
    static void wake(void* ctx)
    {
        auto* g = static_cast<Gate*>(ctx);
        std::lock_guard lock(g->m);
        g->open = true;
        g->cv.notify_all();
    }
};

void blocking_routine()
{
    cu::track_resource(reinterpret_cast<void*>(0x1234), [](void*) { ++destroyed; });
    kept_block = cu::allocate_block(32);
    {
        Gate gate;
        cu::WakeOnStop wake(&Gate::wake, &gate);
        stage = 1;
        std::unique_lock lock(gate.m);
        gate.cv.wait(lock, [&] { return gate.open; });
    }
    cu::stop_point();
    stage = 99;  // never reached after a stop
}

void looping_routine()
{
    stage = 1;
    for (;;) {
        cu::stop_point();
        std::this_thread::sleep_for(1ms);
    }
}

void closing_routine()
{
    stage = 1;
    while (!may_close.load()) std::this_thread::sleep_for(1ms);
    cu::close_worker(handle_to_close.load());  // may name another worker's handle
}

TEST(Worker, NormalEndKeepsItsBlocksForTheProgram)
{
    reset();
    const std::uint32_t h = cu::start_worker(address(finishing_routine));
    EXPECT_NE(h, 0u);
    wait_for([&] { return stage.load() == 1; });
    cu::close_worker(h);
    wait_for([&] { return !cu::worker_known(h); });
    EXPECT_FALSE(cu::worker_stopped(h));
    // A stop after the release still counts: what it queued is dropped.
    cu::stop_worker(h);
    EXPECT_TRUE(cu::worker_stopped(h));
    // Detached, not freed: the program still owns it.
    std::memset(kept_block.load(), 0xAB, 16);
    cu::free_block(kept_block.load());
}

TEST(Worker, StopWhileBlockedWakesTheWaitAndReclaims)
{
    reset();
    const std::uint32_t h = cu::start_worker(address(blocking_routine));
    wait_for([&] { return stage.load() == 1; });
    cu::stop_worker(h);
    // Ended after a stop: reclaimed without a close.
    wait_for([&] { return !cu::worker_known(h); });
    EXPECT_EQ(destroyed.load(), 1);
    EXPECT_NE(stage.load(), 99);
    EXPECT_TRUE(cu::worker_stopped(h));
}

TEST(Worker, StopTwiceAndStaleHandlesAreHarmless)
{
    reset();
    const std::uint32_t h = cu::start_worker(address(looping_routine));
    wait_for([&] { return stage.load() == 1; });
    cu::stop_worker(h);
    cu::stop_worker(h);
    wait_for([&] { return !cu::worker_known(h); });
    cu::stop_worker(h);
    cu::close_worker(h);
    cu::stop_worker(0);
    cu::stop_worker(h + 1000);
    cu::close_worker(h + 1000);
    EXPECT_FALSE(cu::worker_stopped(0));
    EXPECT_FALSE(cu::worker_stopped(h + 1000));
}

TEST(Worker, StopAfterNormalEndOnlyReleasesTheHandle)
{
    reset();
    const std::uint32_t h = cu::start_worker(address(finishing_routine));
    wait_for([&] { return stage.load() == 1; });
    wait_for([&] { return cu::worker_known(h); });
    std::this_thread::sleep_for(20ms);  // let it end
    cu::stop_worker(h);
    wait_for([&] { return !cu::worker_known(h); });
    cu::free_block(kept_block.load());  // its blocks were detached at the end
}

TEST(Worker, CloseOnAWorkerReleasesOnlyItsOwnHandle)
{
    reset();
    const std::uint32_t first = cu::start_worker(address(closing_routine));
    wait_for([&] { return stage.load() == 1; });
    // A newer worker whose handle the finishing one is given by mistake.
    const std::uint32_t second = cu::start_worker(address(looping_routine));
    EXPECT_GT(second, first);
    handle_to_close = second;
    may_close = true;
    wait_for([&] { return !cu::worker_known(first); });
    EXPECT_TRUE(cu::worker_known(second));
    EXPECT_EQ(cu::current_worker_id(), 0u);
    cu::stop_worker(second);
    wait_for([&] { return !cu::worker_known(second); });
}

// Allocates and frees for ever, always holding a few blocks, with a stop
// point after each step as the services have.
void churning_routine()
{
    void* held[4] = {};
    for (unsigned i = 0;; ++i) {
        cu::free_block(held[i % 4]);
        held[i % 4] = cu::allocate_block(16 + i % 64);
        cu::stop_point();
    }
}

TEST(Worker, StartStopStormLeavesNothingBehind)
{
    reset();
    const cu::Census before = cu::census();
    for (int i = 0; i < 100; ++i) {
        const std::uint32_t h = cu::start_worker(address(churning_routine));
        if (i % 3) std::this_thread::sleep_for(std::chrono::microseconds(50 * (i % 7)));
        cu::stop_worker(h);
        if (i % 2) cu::close_worker(h);  // a close after the stop changes nothing
    }
    wait_for([&] { return cu::census().workers == before.workers; });
    EXPECT_EQ(cu::census().blocks, before.blocks);
}

TEST(Worker, HandlesAreNeverReused)
{
    reset();
    std::uint32_t previous = 0;
    for (int i = 0; i < 3; ++i) {
        const std::uint32_t h = cu::start_worker(address(looping_routine));
        EXPECT_GT(h, previous);
        previous = h;
        cu::stop_worker(h);
        wait_for([&] { return !cu::worker_known(h); });
    }
}

// The census a leak check compares: a stopped worker's blocks and resources
// are gone from it, a finished worker's kept block stays until freed, and
// only a close of a handle no longer open counts as stray.
TEST(Census, CountsWhatIsHeldAndStrayCloses)
{
    reset();
    const cu::Census before = cu::census();
    const std::uint32_t stopped = cu::start_worker(address(blocking_routine));
    wait_for([&] { return stage.load() == 1; });
    EXPECT_EQ(cu::census().workers, before.workers + 1);
    EXPECT_EQ(cu::census().resources, before.resources + 1);
    EXPECT_EQ(cu::census().blocks, before.blocks + 1);
    cu::stop_worker(stopped);
    wait_for([&] { return !cu::worker_known(stopped); });

    reset();
    const std::uint32_t finished = cu::start_worker(address(finishing_routine));
    wait_for([&] { return stage.load() == 1; });
    cu::close_worker(finished);
    wait_for([&] { return !cu::worker_known(finished); });
    EXPECT_EQ(cu::census().blocks, before.blocks + 1);  // the kept block, now the program's
    cu::free_block(kept_block.load());
    EXPECT_EQ(cu::census().stray_closes, before.stray_closes);

    cu::close_worker(finished);
    cu::close_worker(stopped);
    const cu::Census after = cu::census();
    EXPECT_EQ(after.workers, before.workers);
    EXPECT_EQ(after.resources, before.resources);
    EXPECT_EQ(after.blocks, before.blocks);
    EXPECT_EQ(after.stray_closes, before.stray_closes + 2);
}

TEST(Blocks, LiteralsAndNullAreLeftAlone)
{
    static const char image[64] = "literal";
    cu::set_image_range(image, sizeof image);
    cu::free_block(const_cast<char*>(image));
    cu::free_block(const_cast<char*>(image + 63));
    cu::free_block(nullptr);
    EXPECT_STREQ(image, "literal");
    char* t = cu::new_text("abc");
    EXPECT_FALSE(cu::in_image(t));
    cu::free_block(t);
    cu::set_image_range(nullptr, 0);
}

}  // namespace
