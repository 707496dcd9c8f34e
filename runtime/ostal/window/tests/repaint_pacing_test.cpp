// While a worker runs, the window repaints at most once per frame and still
// shows its writes as they come; once no worker runs, nothing is held back.
#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QLabel>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "blocks.h"
#include "gui_thread.h"
#include "window_api.h"
#include "window_fixture.h"
#include "worker.h"

namespace cu::window::test {
namespace {

using namespace std::chrono_literals;

// Counts the repaints that reach the window (its update requests that the
// pacing let through).
class RepaintCounter : public QObject {
public:
    int repaints = 0;
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::UpdateRequest) ++repaints;
        return false;
    }
};

using RepaintPacing = OpenWindow;

TEST_F(RepaintPacing, AWorkersWritesRepaintTheWindowAtMostOncePerFrame)
{
    QWidget* window = unit_widget(kWindowUnit);
    auto* status = qobject_cast<QLabel*>(unit_widget(kStatusLabel));
    ASSERT_NE(status, nullptr);
    QApplication::processEvents();  // the window's first paint, before counting
    RepaintCounter counter;
    window->installEventFilter(&counter);

    // About 100 ms of writes, each one its own batch for the GUI thread.
    QElapsedTimer clock;
    clock.start();
    run_on_worker([] {
        for (int i = 0; i < 100; ++i) {
            const std::string text = std::to_string(i);
            write_unit_property(kWindow, kStatusLabel, 8, reinterpret_cast<std::uint64_t>(text.c_str()));
            std::this_thread::sleep_for(1ms);
        }
    });
    const qint64 worker_ms = clock.elapsed();
    const int while_running = counter.repaints;
    EXPECT_EQ(status->text(), QString("99"));
    EXPECT_GE(while_running, 1) << "the writes were never shown while the worker ran";
    EXPECT_LE(while_running, worker_ms / 16 + 2) << "over " << worker_ms << " ms";

    // Once the worker is gone, nothing is held back for good.
    while (cu::census().workers != 0) std::this_thread::sleep_for(1ms);
    const int before = counter.repaints;
    status->setText("after");
    clock.restart();
    while (counter.repaints == before && clock.elapsed() < 1000) QApplication::processEvents();
    EXPECT_EQ(counter.repaints, before + 1);
    window->removeEventFilter(&counter);
}

// Reads the status label once: a call that waits for the GUI thread.
std::atomic<bool> read_done{false};
void reading_worker()
{
    cu::free_block(reinterpret_cast<void*>(read_unit_property(kWindow, kStatusLabel, 8)));
    read_done = true;
}

// Counts the repaints that reach the window while worker calls still wait.
class QueueWatch : public QObject {
public:
    int repaints = 0;
    int with_calls_waiting = 0;
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() != QEvent::UpdateRequest) return false;
        ++repaints;
        if (worker_calls_queued()) ++with_calls_waiting;
        return false;
    }
};

TEST_F(RepaintPacing, AWaitingReadIsServedBeforeTheWindowRepaints)
{
    QWidget* window = unit_widget(kWindowUnit);
    QApplication::processEvents();
    QueueWatch watch;
    window->installEventFilter(&watch);
    const std::uint32_t worker = cu::start_worker(reinterpret_cast<std::uint64_t>(&reading_worker));

    // The read waits in the queue; the GUI thread does not return to its
    // event loop until the repaint below.
    while (!worker_calls_queued()) std::this_thread::sleep_for(1ms);
    QEvent first(QEvent::UpdateRequest), due(QEvent::UpdateRequest);
    QApplication::sendEvent(window, &first);  // starts the frames: held
    std::this_thread::sleep_for(20ms);
    QApplication::sendEvent(window, &due);  // its frame has come
    EXPECT_EQ(watch.repaints, 0) << "the window repainted while a worker waited on a read";

    // The read runs first; the repaint comes after it, not dropped.
    QElapsedTimer clock;
    clock.start();
    while (!(read_done && watch.repaints > 0) && clock.elapsed() < 5000) QApplication::processEvents();
    EXPECT_TRUE(read_done);
    EXPECT_GE(watch.repaints, 1);
    EXPECT_EQ(watch.with_calls_waiting, 0);
    cu::close_worker(worker);
    window->removeEventFilter(&watch);
}

}  // namespace
}  // namespace cu::window::test
