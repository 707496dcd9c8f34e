// Worker threads: started by the thread library's start command, stopped by
// its stop command. A stopped worker ends at its next service or command call
// (stop_point) and never returns into the program; what it still held (blocks,
// documents, script objects) is reclaimed when it ends.
#pragma once
#include <cstddef>
#include <cstdint>

namespace cu {

// Starts a worker running the image routine at `routine` (no arguments).
// Returns its handle (never 0, never reused). When `handle_out` is given the
// handle is stored there before the thread begins, so the routine already
// finds it in place. When the system refuses the thread, the refusal goes to
// stderr, 0 is returned (and stored) and nothing of the worker remains.
std::uint32_t start_worker(std::uint64_t routine, std::uint32_t* handle_out = nullptr);
// Asks the worker to stop and wakes whatever it is waiting on. A handle whose
// worker has ended and been released is still recorded as stopped (its
// queued window calls are then dropped); a handle never handed out is left
// alone.
void stop_worker(std::uint32_t handle);
// Releases a handle. Called on a worker thread it releases the caller's own
// handle whatever value it is given, so a finishing worker never closes the
// handle of a search that started after it.
void close_worker(std::uint32_t handle);

// True while the runtime still keeps the worker's thread object: until it has
// ended and its handle is closed (or it has ended after a stop).
bool worker_known(std::uint32_t handle);

// 0 on any thread that is not a worker.
std::uint64_t current_worker_id();
// True once the worker `id` has been asked to stop (false for id 0).
bool worker_stopped(std::uint64_t id);
// How many workers have been asked to stop so far: an answer of
// worker_stopped() stays true until this changes.
std::uint64_t stops_made();
// True when the calling worker has been asked to stop.
bool stop_requested();
// Called at every service and command entry and exit: ends a stopped worker
// here. Must be called with no live C++ objects in the caller's frame.
void stop_point();

// While registered, `wake(ctx)` is called (from the stopping thread) when the
// calling worker is asked to stop, so a blocking wait can end at once; if the
// stop came first, at registration. `wake` runs under the workers' lock: it
// only signals (a condition variable, curl_multi_wakeup) and calls none of
// the functions here.
class WakeOnStop {
public:
    WakeOnStop(void (*wake)(void*), void* ctx);
    ~WakeOnStop();
    WakeOnStop(const WakeOnStop&) = delete;
    WakeOnStop& operator=(const WakeOnStop&) = delete;
};

// Library objects (documents, script engines) created on a worker: destroyed
// by the runtime if the worker is stopped before it releases them.
void track_resource(void* object, void (*destroy)(void*));
void untrack_resource(void* object);

// The allocator behind allocate_block/free_block (zero-filled blocks; null
// when memory runs out): a block made on a worker is tracked by that worker
// until freed.
void* worker_tracked_allocate(std::size_t size);
void worker_tracked_free(void* block);

// What the runtime holds at this moment, for leak checks: compare two
// censuses taken while no worker runs.
struct Census {
    std::size_t workers = 0;       // thread objects the registry still keeps
    std::size_t resources = 0;     // library objects tracked on workers
    std::size_t blocks = 0;        // blocks allocated and not yet freed, on any thread
    std::size_t stray_closes = 0;  // closes of a handle already closed or never started
};
Census census();

}  // namespace cu
