#include "gui_thread.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <condition_variable>
#include <mutex>

#include "worker.h"

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace cu::window {
namespace {

// Qt's event queue hands a call to the GUI thread under a lock of its own,
// which ThreadSanitizer cannot see (Qt is not instrumented). The hand-over
// is modelled as one lock: released when the call is moved into the queue's
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

// A call as it waits in the queue, tagged with the worker that posted it.
struct QueuedCall {
    std::uint64_t worker;
    std::function<void(bool skipped)> call;
    QueueHandOff hand_off;  // last, so that it is moved after the call

    void operator()()
    {
        hand_off.taken();
        call(cu::worker_stopped(worker));
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
    QMetaObject::invokeMethod(app, QueuedCall{cu::current_worker_id(), std::move(call), {}}, Qt::QueuedConnection);
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
