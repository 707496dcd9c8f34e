// Once a worker is stopped, nothing it asked for reaches the window, and a
// worker waiting for the GUI thread is released at once.
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>

#include <atomic>
#include <chrono>
#include <thread>

#include "blocks.h"
#include "gui_thread.h"
#include "result_list.h"
#include "window_api.h"
#include "window_fixture.h"
#include "worker.h"

namespace cu::window::test {
namespace {

using namespace std::chrono_literals;

std::atomic<bool> requests_made{false};
std::atomic<bool> released{false};
std::atomic<bool> read_empty_text{false};

bool wait_for(const std::atomic<bool>& flag)
{
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!flag && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
    return flag;
}

void wait_until_stopped()
{
    while (!cu::stop_requested()) std::this_thread::sleep_for(1ms);
}

// Writes the window as a search does, without waiting for any of it.
void queue_writes()
{
    write_unit_property(kWindow, kStatusLabel, 8, reinterpret_cast<std::uint64_t>("done"));
    write_unit_property(kWindow, kKeywordBox, 6, 0);
    delete_list_rows(kWindow, kList);
    for (int i = 0; i < 3; ++i) set_list_cell_text(kWindow, kList, append_list_row(kWindow, kList), 0, "1");
    requests_made = true;
}

// Queues its writes, then idles until stopped.
void writing_worker()
{
    queue_writes();
    wait_until_stopped();
    cu::stop_point();
}

// Queues its writes as its last steps, releases its own handle and ends, as a
// search's end steps do.
void finishing_worker()
{
    queue_writes();
    cu::close_worker(0);
}

// Reads the keyword while the GUI thread is busy elsewhere.
void reading_worker()
{
    requests_made = true;
    const auto* text = reinterpret_cast<const char*>(read_unit_property(kWindow, kKeywordBox, 8));
    // The block is the worker's and goes when it ends: look at it here.
    read_empty_text = text && *text == '\0';
    released = true;
    cu::stop_point();
    released = false;  // never reached: the stop point ends the worker
}

using WorkerStop = OpenWindow;

// The click that stops the search is handled before the queue runs: while
// the worker still runs, and after it has ended and released its handle.
struct StopCase {
    const char* name;
    void (*routine)();
    bool ended_before_the_stop;
};

TEST_F(WorkerStop, QueuedWritesOfAStoppedWorkerNeverReachTheWindow)
{
    const StopCase cases[] = {
        {"still running", &writing_worker, false},
        {"ended, handle released", &finishing_worker, true},
    };
    for (const StopCase& c : cases) {
        SCOPED_TRACE(c.name);
        requests_made = false;
        auto* rows = dynamic_cast<ResultList*>(unit_widget(kList));
        rows->clear();
        rows->row(rows->append_row())->setText(0, "previous");
        qobject_cast<QLabel*>(unit_widget(kStatusLabel))->clear();
        unit_widget(kKeywordBox)->setEnabled(false);

        const std::uint32_t handle = cu::start_worker(reinterpret_cast<std::uint64_t>(c.routine));
        ASSERT_TRUE(wait_for(requests_made));
        if (c.ended_before_the_stop) {
            const auto deadline = std::chrono::steady_clock::now() + 10s;
            while (cu::worker_known(handle) && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(1ms);
            ASSERT_FALSE(cu::worker_known(handle));
        }
        ASSERT_TRUE(worker_calls_queued());
        cu::stop_worker(handle);
        QApplication::processEvents();

        EXPECT_EQ(qobject_cast<QLabel*>(unit_widget(kStatusLabel))->text(), QString());
        EXPECT_FALSE(unit_widget(kKeywordBox)->isEnabled());
        auto* list = qobject_cast<QTreeWidget*>(unit_widget(kList));
        ASSERT_EQ(list->topLevelItemCount(), 1);
        EXPECT_EQ(list->topLevelItem(0)->text(0), QString("previous"));
    }
}

TEST_F(WorkerStop, AWaitingWorkerIsReleasedByTheStopAndEndsAtItsNextStopPoint)
{
    requests_made = false;
    released = false;
    read_empty_text = false;
    qobject_cast<QLineEdit*>(unit_widget(kKeywordBox))->setText("keyword");
    const std::uint32_t handle = cu::start_worker(reinterpret_cast<std::uint64_t>(&reading_worker));
    ASSERT_TRUE(wait_for(requests_made));
    std::this_thread::sleep_for(20ms);  // let it queue the read and wait
    EXPECT_FALSE(released);
    // The GUI thread has not run the read; the stop alone releases it.
    cu::stop_worker(handle);
    ASSERT_TRUE(wait_for(released));
    EXPECT_TRUE(read_empty_text);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (cu::worker_known(handle) && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
    EXPECT_FALSE(cu::worker_known(handle));
    EXPECT_TRUE(released);
    QApplication::processEvents();  // the skipped read comes up and does nothing
}

TEST_F(WorkerStop, RowIndexesHoldWhileTheWritesAreQueued)
{
    std::vector<std::int32_t> indexes;
    std::vector<std::string> last_cells;
    run_on_worker([&] {
        delete_list_rows(kWindow, kList);
        for (int r = 0; r < 200; ++r) {
            const std::int32_t row = append_list_row(kWindow, kList);
            indexes.push_back(row);
            for (int c = 0; c < 5; ++c) set_list_cell_text(kWindow, kList, row, c, std::to_string(r * 10 + c));
        }
        char* cell = list_cell_text(kWindow, kList, 199, 4);
        last_cells.push_back(cell);
        cu::free_block(cell);
    });
    ASSERT_EQ(indexes.size(), 200u);
    for (int r = 0; r < 200; ++r) ASSERT_EQ(indexes[static_cast<std::size_t>(r)], r);
    EXPECT_EQ(last_cells, std::vector<std::string>{"1994"});
    auto* list = qobject_cast<QTreeWidget*>(unit_widget(kList));
    ASSERT_EQ(list->topLevelItemCount(), 200);
    EXPECT_EQ(list->topLevelItem(123)->text(2), QString("1232"));
}

}  // namespace
}  // namespace cu::window::test
