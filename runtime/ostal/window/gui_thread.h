// Handing window work to the GUI thread. Every widget operation runs on the
// thread that created the application. A call made there runs directly; a
// call from any other thread is queued behind everything that thread handed
// over before, so one worker's calls reach the window in the order it made
// them. When a queued call comes up, it first checks whether its worker has
// been stopped since, and then does nothing: once a stop has been handled on
// the GUI thread, nothing that worker asked for reaches the window.
#pragma once
#include <functional>
#include <memory>
#include <utility>

namespace cu::window {

bool on_gui_thread();

// Writes: runs `call` on the GUI thread without waiting for it. Dropped when
// no application is up.
void post_to_gui(std::function<void()> call);

// Reads: runs `call` on the GUI thread and waits for it. Returns false when it
// did not run: no application is up, or the calling worker was stopped before
// or while it waited (a stop releases the wait at once).
bool run_on_gui(std::function<void()> call);

// Work that ends later than the call that starts it (a message box the user
// closes): runs `start` on the GUI thread, which begins the work and returns
// at once, and waits until `done` has been called (once, on the GUI thread).
// The GUI thread goes on with its event loop meanwhile. Returns as run_on_gui.
bool await_on_gui(std::function<void(std::function<void()> done)> start);

// Whether calls from other threads wait in the queue for the GUI thread (a run
// of the queue is then on its way).
bool worker_calls_queued();

// Runs `call` directly on the GUI thread, or queues it from elsewhere.
inline void write_on_gui(std::function<void()> call)
{
    if (on_gui_thread()) call();
    else post_to_gui(std::move(call));
}

// `read()` on the GUI thread; `fallback` when it could not run there.
template <typename T, typename Read>
T read_on_gui(Read read, T fallback)
{
    if (on_gui_thread()) return read();
    auto result = std::make_shared<T>(fallback);
    if (!run_on_gui([result, read = std::move(read)] { *result = read(); })) return fallback;
    return *result;
}

}  // namespace cu::window
