#include "block_storage.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define CU_KEEP_FREED_STORAGE 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define CU_KEEP_FREED_STORAGE 0
#endif
#endif
#ifndef CU_KEEP_FREED_STORAGE
#define CU_KEEP_FREED_STORAGE 1
#endif

namespace cu {
namespace {

// Sizes are kept in steps of 16 bytes up to 256 (a lookup's block, a cell's
// text and their headers fit many times over); larger storage always goes
// back to the C library. A thread keeps at most 64 of each size: about 140 KiB
// at worst, and a search's churn is a handful of blocks at a time.
constexpr std::size_t step = 16;
constexpr std::size_t largest_kept = 256;
constexpr std::size_t sizes = largest_kept / step;
constexpr std::uint32_t kept_per_size = CU_KEEP_FREED_STORAGE ? 64 : 0;

struct FreedStorage {
    FreedStorage* next;
};

// One thread's kept storage and its count. Constant-initialised and trivially
// destructible, so it is usable at any point of the thread's life; the
// thread's exit hands its count over and frees what it kept.
struct ThreadStorage {
    FreedStorage* kept[sizes];
    std::uint32_t kept_count[sizes];
    // Written by its own thread only (a load and a store, no locked
    // instruction); read by the census.
    std::atomic<std::int64_t> live;
    bool enrolled;
    bool retired;  // the thread is ending: nothing more is kept or counted here
};

thread_local ThreadStorage mine{};

std::mutex threads_mutex;
std::vector<ThreadStorage*>& enrolled_threads()
{
    static auto* threads = new std::vector<ThreadStorage*>;  // lives until the process ends
    return *threads;
}
// Counts handed over by threads that ended, and made on ending threads.
std::atomic<std::int64_t> retired_live{0};

void retire(void* data)
{
    auto* t = static_cast<ThreadStorage*>(data);
    std::lock_guard lock(threads_mutex);
    auto& threads = enrolled_threads();
    threads.erase(std::remove(threads.begin(), threads.end(), t), threads.end());
    retired_live.fetch_add(t->live.load(std::memory_order_relaxed), std::memory_order_relaxed);
    t->live.store(0, std::memory_order_relaxed);
    t->retired = true;
    for (std::size_t i = 0; i < sizes; ++i) {
        while (FreedStorage* f = t->kept[i]) {
            t->kept[i] = f->next;
            std::free(f);
        }
        t->kept_count[i] = 0;
    }
}

pthread_key_t exit_key()
{
    static const pthread_key_t key = [] {
        pthread_key_t k;
        if (pthread_key_create(&k, retire) != 0) std::abort();
        return k;
    }();
    return key;
}

void enroll(ThreadStorage& t)
{
    const pthread_key_t key = exit_key();
    std::lock_guard lock(threads_mutex);
    enrolled_threads().push_back(&t);
    t.enrolled = true;
    pthread_setspecific(key, &t);
}

// The calling thread's storage, enrolled on its first use.
ThreadStorage& this_thread()
{
    ThreadStorage& t = mine;
    if (!t.enrolled && !t.retired) enroll(t);
    return t;
}

void count(ThreadStorage& t, std::int64_t change)
{
    if (t.retired) retired_live.fetch_add(change, std::memory_order_relaxed);
    else t.live.store(t.live.load(std::memory_order_relaxed) + change, std::memory_order_relaxed);
}

// The size class of `bytes`, or `sizes` when storage of that size is not kept.
std::size_t size_class(std::size_t bytes)
{
    if (kept_per_size == 0 || bytes == 0 || bytes > largest_kept) return sizes;
    return (bytes - 1) / step;
}

}  // namespace

void* take_block_storage(std::size_t bytes)
{
    ThreadStorage& t = this_thread();
    const std::size_t c = size_class(bytes);
    void* storage = nullptr;
    if (c == sizes) {
        // calloc gets large storage as fresh pages without touching them.
        storage = std::calloc(1, bytes);
    } else if (FreedStorage* f = t.kept[c]) {
        t.kept[c] = f->next;
        --t.kept_count[c];
        storage = f;
        std::memset(storage, 0, bytes);
    } else {
        // Whole steps, so that the storage can serve any size of its class later.
        storage = std::calloc(1, (c + 1) * step);
    }
    if (storage) count(t, 1);
    return storage;
}

void give_back_block_storage(void* storage, std::size_t bytes)
{
    if (!storage) return;
    ThreadStorage& t = this_thread();
    count(t, -1);
    const std::size_t c = size_class(bytes);
    if (c == sizes || t.retired || t.kept_count[c] == kept_per_size) {
        std::free(storage);
        return;
    }
    auto* f = static_cast<FreedStorage*>(storage);
    f->next = t.kept[c];
    t.kept[c] = f;
    ++t.kept_count[c];
}

std::size_t live_block_storage()
{
    std::lock_guard lock(threads_mutex);
    std::int64_t live = retired_live.load(std::memory_order_relaxed);
    for (const ThreadStorage* t : enrolled_threads()) live += t->live.load(std::memory_order_relaxed);
    return static_cast<std::size_t>(live);
}

}  // namespace cu
