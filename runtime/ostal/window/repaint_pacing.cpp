#include "repaint_pacing.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <vector>

#include "gui_thread.h"
#include "worker.h"

namespace cu::window {
namespace {

constexpr qint64 frame_ns = 16'000'000;  // one frame at 60 Hz
const char* const pacer_name = "cumulo-repaint-pacer";

// Sees every top-level window's update request (Qt asks a window to repaint
// itself with one, coalescing whatever changed since its last paint). A
// request that comes before its frame is held back, and one request is sent
// again for each held window when the frame comes.
class RepaintPacer : public QObject {
public:
    explicit RepaintPacer(QObject* application) : QObject(application)
    {
        setObjectName(QString::fromLatin1(pacer_name));
        clock_.start();
        frame_timer_.setSingleShot(true);
        frame_timer_.setTimerType(Qt::PreciseTimer);
        connect(&frame_timer_, &QTimer::timeout, this, [this] { release_held(); });
    }

    bool eventFilter(QObject* receiver, QEvent* event) override
    {
        if (event->type() != QEvent::UpdateRequest || !receiver->isWidgetType()) return false;
        auto* window = static_cast<QWidget*>(receiver);
        if (!window->isWindow()) return false;
        if (take(behind_queue_, window)) return false;
        if (take(released_, window)) return wait_for_queued_calls(window);
        if (cu::census().workers == 0) {
            pacing_ = false;
            return false;
        }
        const qint64 now = clock_.nsecsElapsed();
        if (!pacing_) {
            pacing_ = true;
            next_frame_ = now + frame_ns;
        }
        if (now >= next_frame_) {
            next_frame_ = now + frame_ns;
            return wait_for_queued_calls(window);
        }
        if (std::find(held_.begin(), held_.end(), window) == held_.end()) held_.emplace_back(window);
        if (!frame_timer_.isActive()) frame_timer_.start(static_cast<int>((next_frame_ - now + 999'999) / 1'000'000));
        return true;
    }

private:
    static bool take(std::vector<QObject*>& windows, QObject* window)
    {
        const auto it = std::find(windows.begin(), windows.end(), window);
        if (it == windows.end()) return false;
        windows.erase(it);
        return true;
    }

    // A repaint whose frame has come still lets the window calls that workers
    // queued before it run first, so a worker waiting on a read is served
    // before the window paints; it goes through after that one run of the
    // queue (posted after the run, it comes behind it) whatever has been queued
    // since, so a worker writing rows without pause cannot hold it off.
    bool wait_for_queued_calls(QWidget* window)
    {
        if (!worker_calls_queued()) return false;
        behind_queue_.push_back(window);
        QMetaObject::invokeMethod(
            this,
            [window = QPointer<QWidget>(window)] {
                if (window) QCoreApplication::postEvent(window.data(), new QEvent(QEvent::UpdateRequest), Qt::LowEventPriority);
            },
            Qt::QueuedConnection);
        return true;
    }

    // The frame has come: every held window repaints once, behind whatever
    // the GUI thread has queued by now.
    void release_held()
    {
        next_frame_ = clock_.nsecsElapsed() + frame_ns;
        for (const QPointer<QWidget>& window : held_) {
            if (!window) continue;
            released_.push_back(window.data());
            QCoreApplication::postEvent(window.data(), new QEvent(QEvent::UpdateRequest), Qt::LowEventPriority);
        }
        held_.clear();
    }

    QElapsedTimer clock_;
    QTimer frame_timer_;
    bool pacing_ = false;
    qint64 next_frame_ = 0;
    std::vector<QPointer<QWidget>> held_;
    std::vector<QObject*> released_;  // windows whose request for this frame is on its way
    std::vector<QObject*> behind_queue_;  // windows whose request waits behind a run of the queue
};

}  // namespace

void pace_repaints_while_workers_run()
{
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || app->findChild<QObject*>(QString::fromLatin1(pacer_name), Qt::FindDirectChildrenOnly)) return;
    app->installEventFilter(new RepaintPacer(app));
}

}  // namespace cu::window
