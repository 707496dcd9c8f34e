// The thread library's commands, called as the program calls them.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "blocks.h"
#include "cumulo_abi.h"
#include "worker.h"

namespace {
using namespace std::chrono_literals;

std::uint32_t handle_variable = 0;  // the program's one global
std::atomic<std::uint32_t> seen_by_worker{0};
std::atomic<bool> running{false};

void worker_main()
{
    seen_by_worker = handle_variable;
    running = true;
    for (;;) {
        cu::stop_point();
        std::this_thread::sleep_for(1ms);
    }
}

struct Parlo {
    void* handle = dlopen(PARLO_FILE, RTLD_NOW);
    const cu_library* lib = handle ? reinterpret_cast<cu_library_descriptor_fn>(dlsym(handle, CU_LIBRARY_EXPORT))() : nullptr;

    cu_value call(std::uint32_t number, std::initializer_list<cu_value> args) const
    {
        for (std::uint32_t i = 0; i < lib->command_count; ++i)
            if (lib->commands[i].number == number)
                return lib->commands[i].run(static_cast<std::uint32_t>(args.size()), args.begin());
        ADD_FAILURE() << "no command " << number;
        return {};
    }
};

TEST(Parlo, StartStoresTheHandleBeforeTheWorkerRunsAndStopEndsIt)
{
    Parlo parlo;
    ASSERT_NE(parlo.lib, nullptr) << dlerror();
    const auto routine = reinterpret_cast<std::uint64_t>(&worker_main);
    cu::set_image_range(reinterpret_cast<const void*>(routine), 1);
    const cu_value variable{reinterpret_cast<std::uint64_t>(&handle_variable), 0, CU_TAG_INT};
    parlo.call(0x00, {{routine, 0, CU_TAG_SUBROUTINE}, {0, 0, CU_TAG_OMITTED}, variable});
    const std::uint32_t h = handle_variable;
    ASSERT_NE(h, 0u);
    for (int i = 0; i < 2000 && !running; ++i) std::this_thread::sleep_for(1ms);
    EXPECT_EQ(seen_by_worker.load(), h);

    parlo.call(0x18, {{h, 0, CU_TAG_INT}});
    for (int i = 0; i < 2000 && cu::worker_known(h); ++i) std::this_thread::sleep_for(1ms);
    EXPECT_FALSE(cu::worker_known(h));
    EXPECT_TRUE(cu::worker_stopped(h));
    parlo.call(0x18, {{h, 0, CU_TAG_INT}});  // stale: harmless
    parlo.call(0x1C, {{h, 0, CU_TAG_INT}});
    cu::set_image_range(nullptr, 0);
}

TEST(Parlo, ASubroutineOutsideTheImageStartsNothing)
{
    Parlo parlo;
    ASSERT_NE(parlo.lib, nullptr);
    std::uint32_t variable = 0;
    parlo.call(0x00, {{0x1234, 0, CU_TAG_SUBROUTINE}, {}, {reinterpret_cast<std::uint64_t>(&variable), 0, CU_TAG_INT}});
    parlo.call(0x00, {{0, 0, CU_TAG_INT}});
    parlo.call(0x00, {});
    EXPECT_EQ(variable, 0u);
}

}  // namespace
