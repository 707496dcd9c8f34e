#include "gui_thread.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <condition_variable>
#include <deque>
#include <iterator>
#include <mutex>
#include <utility>

#include "worker.h"

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace cu::window {
namespace {

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

// A call as it waits in the queue, tagged with the worker that queued it; a
// waited-for call also carries the rendezvous its worker waits on, which the
// call itself finishes when it has run, and a skipped call at once.
struct QueuedCall {
    std::uint64_t worker;
    std::function<void()> call;
    std::shared_ptr<Rendezvous> rendezvous;

    void run(bool skipped) const
    {
        if (!skipped) call();
        else if (rendezvous) rendezvous->finish(false);
    }
};

// Every thread's calls wait in one queue of our own, in the order they were
// made; the GUI thread is woken once for whatever has gathered (one posted
// event for a whole batch, not one per call), takes the batch with one lock
// and runs it without returning to its event loop in between, so no repaint
// falls inside it.
std::mutex queue_mutex;
std::deque<QueuedCall> queued_calls;  // guarded by queue_mutex
// The application a run of the queue is posted to and has not started on yet
// (a run posted to an application that has gone never comes).
QCoreApplication* run_scheduled_on = nullptr;  // guarded by queue_mutex
// The batches taken and not yet run (GUI thread only). A call that opens a
// nested event loop (a message box) lets a later run go on from its front,
// and what that run takes is appended behind, so the order holds there too.
std::deque<QueuedCall> taken_calls;

// Whether a call's worker has been stopped. The registry is asked again only
// when the worker changes or a stop has been made since: a batch is mostly one
// worker's calls, and stops are rare.
class StopCheck {
public:
    bool operator()(std::uint64_t worker)
    {
        const std::uint64_t stops = cu::stops_made();
        if (worker != worker_ || stops != stops_) {
            worker_ = worker;
            stops_ = stops;
            stopped_ = cu::worker_stopped(worker);
        }
        return stopped_;
    }

private:
    std::uint64_t worker_ = 0;
    std::uint64_t stops_ = ~std::uint64_t{0};
    bool stopped_ = false;
};

// On the GUI thread: runs the calls that were queued when it started; calls
// queued while this run is under way wait for the next run, so the GUI thread
// returns to its event loop at least once per batch.
void run_queued_calls()
{
    {
        std::lock_guard lock(queue_mutex);
        run_scheduled_on = nullptr;
        if (taken_calls.empty()) {
            taken_calls.swap(queued_calls);
        } else {
            std::move(queued_calls.begin(), queued_calls.end(), std::back_inserter(taken_calls));
            queued_calls.clear();
        }
    }
    StopCheck stopped;
    while (!taken_calls.empty()) {
        const QueuedCall next = std::move(taken_calls.front());
        taken_calls.pop_front();
        next.run(stopped(next.worker));
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

// Queues `call` for the GUI thread, tagged with the calling worker, with the
// rendezvous of a read; false when no application is up.
bool enqueue(std::function<void()> call, std::shared_ptr<Rendezvous> rendezvous)
{
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) return false;
    bool schedule = false;
    {
        std::lock_guard lock(queue_mutex);
        queued_calls.push_back(QueuedCall{cu::current_worker_id(), std::move(call), std::move(rendezvous)});
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
    enqueue(std::move(call), nullptr);
}

bool worker_calls_queued()
{
    std::lock_guard lock(queue_mutex);
    return !queued_calls.empty();
}

bool run_on_gui(std::function<void()> call)
{
    return await_on_gui([call = std::move(call)](const std::function<void()>& done) {
        call();
        done();
    });
}

bool await_on_gui(std::function<void(std::function<void()> done)> start)
{
    if (cu::stop_requested()) return false;
    auto rendezvous = std::make_shared<Rendezvous>();
    auto begin = [start = std::move(start), rendezvous] { start([rendezvous] { rendezvous->finish(true); }); };
    if (!enqueue(std::move(begin), rendezvous)) return false;

    cu::WakeOnStop wake(&Rendezvous::wake, rendezvous.get());
    std::unique_lock lock(rendezvous->mutex);
    rendezvous->done_or_stopped.wait(lock, [&] { return rendezvous->finished || rendezvous->woken; });
    return rendezvous->finished && rendezvous->ran;
}

}  // namespace cu::window
