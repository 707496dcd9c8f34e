#include "gui_thread.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <utility>

#include "worker.h"

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace cu::window {
namespace {

// A call as it waits in the queue, tagged with the worker that posted it.
struct QueuedCall {
    std::uint64_t worker;
    std::function<void(bool skipped)> call;
};

// Every thread's calls wait in one queue of our own, in the order they were
// made; the GUI thread is woken once for whatever has gathered (one posted
// event for a whole batch, not one per call), and runs the batch without
// returning to its event loop in between, so no repaint falls inside it.
std::mutex queue_mutex;
std::deque<QueuedCall> queued_calls;
// The application a run of the queue is posted to and has not started on yet
// (a run posted to an application that has gone never comes).
QCoreApplication* run_scheduled_on = nullptr;

// The next queued call; false when there is none.
bool take_next(QueuedCall& next)
{
    std::lock_guard lock(queue_mutex);
    if (queued_calls.empty()) return false;
    next = std::move(queued_calls.front());
    queued_calls.pop_front();
    return true;
}

// On the GUI thread: runs the calls that were queued when it started. A call
// that opens a nested event loop (a message box) lets a later run go on with
// the queue from its front, so the order holds there too; calls queued while
// this run is under way wait for the next run, so the GUI thread returns to
// its event loop at least once per batch.
void run_queued_calls()
{
    std::size_t batch = 0;
    {
        std::lock_guard lock(queue_mutex);
        run_scheduled_on = nullptr;
        batch = queued_calls.size();
    }
    for (QueuedCall next; batch > 0 && take_next(next); --batch) {
        auto call = std::move(next.call);
        call(cu::worker_stopped(next.worker));
    }
}

// Qt's event queue hands the run to the GUI thread under a lock of its own,
// which ThreadSanitizer cannot see (Qt is not instrumented). The hand-over
// is modelled as one lock: released when the run is moved into the queue's
// storage (the poster's last write to it), acquired when the GUI thread runs it.
#if defined(__SANITIZE_THREAD__)
char queue_lock_model;
struct QueueHandOff {
    QueueHandOff() = default;
    QueueHandOff(QueueHandOff&&) noexcept { __tsan_release(&queue_lock_model); }
    void taken() const { __tsan_acquire(&queue_lock_model); }
};
#else
struct QueueHandOff {
    void taken() const {}
};
#endif

// The posted run of the queue.
struct QueueRun {
    QueueHandOff hand_off;

    void operator()() const
    {
        hand_off.taken();
        run_queued_calls();
    }
};

// One waiting call: signalled when the GUI thread has run or skipped it, or
// when the waiting worker is stopped. Shared with the queued call, which may
// come up after the worker has stopped waiting.
struct Rendezvous {
    std::mutex mutex;
    std::condition_variable done_or_stopped;
    bool finished = false;
    bool ran = false;
    bool woken = false;

    void finish(bool did_run)
    {
        std::lock_guard lock(mutex);
        finished = true;
        ran = did_run;
        done_or_stopped.notify_all();
    }

    static void wake(void* self)
    {
        auto* r = static_cast<Rendezvous*>(self);
        std::lock_guard lock(r->mutex);
        r->woken = true;
        r->done_or_stopped.notify_all();
    }
};

// Queues `call` for the GUI thread, tagged with the calling worker; false when
// no application is up.
bool enqueue(std::function<void(bool skipped)> call)
{
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) return false;
    bool schedule = false;
    {
        std::lock_guard lock(queue_mutex);
        queued_calls.push_back(QueuedCall{cu::current_worker_id(), std::move(call)});
        schedule = std::exchange(run_scheduled_on, app) != app;
    }
    if (schedule) QMetaObject::invokeMethod(app, QueueRun{}, Qt::QueuedConnection);
    return true;
}

}  // namespace

bool on_gui_thread()
{
    QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

void post_to_gui(std::function<void()> call)
{
    enqueue([call = std::move(call)](bool skipped) {
        if (!skipped) call();
    });
}

bool run_on_gui(std::function<void()> call)
{
    if (cu::stop_requested()) return false;
    auto rendezvous = std::make_shared<Rendezvous>();
    const bool queued = enqueue([rendezvous, call = std::move(call)](bool skipped) {
        if (!skipped) call();
        rendezvous->finish(!skipped);
    });
    if (!queued) return false;

    cu::WakeOnStop wake(&Rendezvous::wake, rendezvous.get());
    std::unique_lock lock(rendezvous->mutex);
    rendezvous->done_or_stopped.wait(lock, [&] { return rendezvous->finished || rendezvous->woken; });
    return rendezvous->finished && rendezvous->ran;
}

}  // namespace cu::window
