// Workers, their stops, and the blocks and resources they hold.
//
// A worker's thread enters the runtime first (worker_entry), marks a jump
// point there and only then calls the image routine. A stop sets a flag and
// wakes a blocking wait; the worker's next stop_point() jumps back to the
// entry, skipping the image frames in between (they have no unwind tables,
// and the runtime frames a stop point may skip hold no C++ objects). The
// entry then reclaims what the worker held.
#include "worker.h"

#include <pthread.h>

#include <atomic>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "block_storage.h"
#include "errors.h"

namespace cu {
namespace {

struct Worker;

// Every block carries this header. A block made on a worker sits in that
// worker's list until freed, or until the worker ends (then it is detached).
struct alignas(16) BlockHeader {
    BlockHeader* prev = nullptr;
    BlockHeader* next = nullptr;
    std::atomic<Worker*> owner{nullptr};
    std::size_t storage_bytes = 0;  // header included
};

struct Wake {
    void (*wake)(void*);
    void* ctx;
};

struct Worker {
    std::uint32_t handle = 0;
    std::uint64_t routine = 0;
    std::jmp_buf stop_jump{};
    std::atomic<bool> stop{false};
    // Guarded by registry_mutex:
    bool ended = false;
    bool closed = false;
    BlockHeader* blocks = nullptr;
    std::vector<Wake*> wakes;
};

struct Resource {
    Worker* owner;
    void (*destroy)(void*);
};

// One mutex guards the registry, the block lists, the resources and the wake
// lists: each operation under it is O(1) or a walk done once per stop.
std::mutex registry_mutex;
std::unordered_map<std::uint32_t, std::shared_ptr<Worker>> workers;
std::unordered_set<std::uint32_t> stopped_handles;  // survives reclaiming, for worker_stopped
std::atomic<std::uint64_t> stop_count{0};  // stopped_handles.size(), readable without the lock
std::unordered_map<void*, Resource> resources;
std::uint32_t last_handle = 0;
std::size_t stray_closes = 0;

thread_local Worker* current = nullptr;

BlockHeader* header_of(void* block) { return static_cast<BlockHeader*>(block) - 1; }

void release_block(BlockHeader* h)
{
    const std::size_t bytes = h->storage_bytes;
    h->~BlockHeader();
    give_back_block_storage(h, bytes);
}

void unlink_block(Worker& w, BlockHeader* h)
{
    if (h->prev) h->prev->next = h->next;
    else w.blocks = h->next;
    if (h->next) h->next->prev = h->prev;
    h->prev = h->next = nullptr;
    h->owner.store(nullptr, std::memory_order_relaxed);
}

// Drops the registry's reference once nothing can name the worker any more.
void reclaim_if_done(const Worker& w)
{
    if (w.ended && (w.closed || w.stop.load())) workers.erase(w.handle);
}

// What the worker still holds when it ends: detached after a normal end,
// destroyed and freed after a stop.
void finish(Worker& w)
{
    // A stop that arrives from here on finds the worker ending anyway.
    const bool stopped = w.stop.load();
    std::vector<std::pair<void*, void (*)(void*)>> to_destroy;
    {
        std::lock_guard lock(registry_mutex);
        for (auto it = resources.begin(); it != resources.end();) {
            if (it->second.owner != &w) { ++it; continue; }
            if (stopped) to_destroy.emplace_back(it->first, it->second.destroy);
            it = resources.erase(it);
        }
    }
    // Destroyers may free blocks of their own, tracked or not.
    for (auto& [object, destroy] : to_destroy) destroy(object);

    std::lock_guard lock(registry_mutex);
    while (BlockHeader* h = w.blocks) {
        unlink_block(w, h);
        if (stopped) release_block(h);
    }
    w.ended = true;
    reclaim_if_done(w);
}

using ImageRoutine = void (*)();

// Kept apart from worker_entry so that nothing in the frame that holds the
// jump point changes between setjmp and a longjmp back to it.
bool run_until_stopped(Worker* w)
{
    if (setjmp(w->stop_jump) != 0) return false;
    reinterpret_cast<ImageRoutine>(w->routine)();
    return true;
}

void* worker_entry(void* arg)
{
    // Take over the reference start_worker handed in.
    auto* handed = static_cast<std::shared_ptr<Worker>*>(arg);
    std::shared_ptr<Worker> self = std::move(*handed);
    delete handed;
    current = self.get();
    run_until_stopped(self.get());
    finish(*self);
    current = nullptr;
    return nullptr;
}

// Marks `handle` stopped for worker_stopped (under registry_mutex).
void record_stop(std::uint32_t handle)
{
    if (stopped_handles.insert(handle).second) stop_count.fetch_add(1, std::memory_order_release);
}

}  // namespace

std::uint32_t start_worker(std::uint64_t routine, std::uint32_t* handle_out)
{
    auto w = std::make_shared<Worker>();
    w->routine = routine;
    {
        std::lock_guard lock(registry_mutex);
        if (last_handle == std::numeric_limits<std::uint32_t>::max()) fatal("no thread handles left");
        w->handle = ++last_handle;
        workers.emplace(w->handle, w);
    }
    if (handle_out) *handle_out = w->handle;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    auto* arg = new std::shared_ptr<Worker>(w);
    const int rc = pthread_create(&thread, &attr, worker_entry, arg);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        // Not the end of the program: its window stays as it was (a search
        // shown running is ended by the next click), and nothing of the
        // worker is left behind.
        delete arg;
        {
            std::lock_guard lock(registry_mutex);
            workers.erase(w->handle);
        }
        if (handle_out) *handle_out = 0;
        std::fprintf(stderr, "cumulo-search: a worker thread could not be started: %s\n", std::strerror(rc));
        return 0;
    }
    return w->handle;
}

void stop_worker(std::uint32_t handle)
{
    std::lock_guard lock(registry_mutex);
    auto it = workers.find(handle);
    if (it == workers.end()) {
        // A worker that has ended and released its handle may still have
        // window calls queued: recorded as stopped, they are dropped too.
        // Handles are never reused, so no later worker is affected; one never
        // handed out is left alone.
        if (handle != 0 && handle <= last_handle) record_stop(handle);
        return;
    }
    Worker& w = *it->second;
    if (w.stop.exchange(true)) return;
    record_stop(handle);
    for (Wake* wake : w.wakes) wake->wake(wake->ctx);
    reclaim_if_done(w);
}

void close_worker(std::uint32_t handle)
{
    std::lock_guard lock(registry_mutex);
    if (current) handle = current->handle;
    auto it = workers.find(handle);
    if (it == workers.end() || it->second->closed) {
        ++stray_closes;
        return;
    }
    it->second->closed = true;
    reclaim_if_done(*it->second);
}

bool worker_known(std::uint32_t handle)
{
    std::lock_guard lock(registry_mutex);
    return workers.count(handle) != 0;
}

std::uint64_t current_worker_id() { return current ? current->handle : 0; }

bool worker_stopped(std::uint64_t id)
{
    if (id == 0 || id > std::numeric_limits<std::uint32_t>::max()) return false;
    std::lock_guard lock(registry_mutex);
    return stopped_handles.count(static_cast<std::uint32_t>(id)) != 0;
}

std::uint64_t stops_made() { return stop_count.load(std::memory_order_acquire); }

bool stop_requested() { return current && current->stop.load(); }

void stop_point()
{
    if (current && current->stop.load()) std::longjmp(current->stop_jump, 1);
}

WakeOnStop::WakeOnStop(void (*wake)(void*), void* ctx)
{
    if (!current) return;
    auto* entry = new Wake{wake, ctx};
    std::lock_guard lock(registry_mutex);
    current->wakes.push_back(entry);
    if (current->stop.load()) wake(ctx);
}

WakeOnStop::~WakeOnStop()
{
    if (!current) return;
    std::lock_guard lock(registry_mutex);
    // The innermost registration is this one: wakes nest with the scopes
    // that register them.
    delete current->wakes.back();
    current->wakes.pop_back();
}

void track_resource(void* object, void (*destroy)(void*))
{
    if (!current || !object) return;
    std::lock_guard lock(registry_mutex);
    resources[object] = Resource{current, destroy};
}

void untrack_resource(void* object)
{
    std::lock_guard lock(registry_mutex);
    resources.erase(object);
}

void* worker_tracked_allocate(std::size_t size)
{
    if (size > std::numeric_limits<std::size_t>::max() - sizeof(BlockHeader)) return nullptr;
    // Zero-filled: the program hands its library-object blocks over as
    // freshly allocated and zeroed.
    const std::size_t bytes = sizeof(BlockHeader) + size;
    void* raw = take_block_storage(bytes);
    if (!raw) return nullptr;
    auto* h = new (raw) BlockHeader;
    h->storage_bytes = bytes;
    if (Worker* w = current) {
        std::lock_guard lock(registry_mutex);
        h->owner.store(w, std::memory_order_relaxed);
        h->next = w->blocks;
        if (w->blocks) w->blocks->prev = h;
        w->blocks = h;
    }
    return h + 1;
}

void worker_tracked_free(void* block)
{
    if (!block) return;
    BlockHeader* h = header_of(block);
    // A block's owner only ever goes from a worker to null, so a null read
    // needs no lock; a non-null one is confirmed under it.
    if (h->owner.load(std::memory_order_acquire)) {
        std::lock_guard lock(registry_mutex);
        if (Worker* w = h->owner.load(std::memory_order_relaxed)) unlink_block(*w, h);
    }
    release_block(h);
}

Census census()
{
    std::lock_guard lock(registry_mutex);
    return Census{workers.size(), resources.size(), live_block_storage(), stray_closes};
}

}  // namespace cu
