// 1,200 cell writes into the result list (240 rows of five cells, each row
// appended first, as a search fills it): on the GUI thread, from a worker
// whose writes are queued without waiting (appends answered from the row
// count), the same with every append waiting for the GUI thread instead, and
// from a worker that waits for a round trip per write (what a plain blocking
// hand-over costs).
// Run with QT_QPA_PLATFORM=offscreen.
#include <QApplication>
#include <QEventLoop>
#include <QTreeWidget>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "blocks.h"
#include "gui_thread.h"
#include "program_layout.h"
#include "result_list.h"
#include "window_api.h"
#include "worker.h"

namespace {

using namespace cu::window;
using namespace cu::window::test;
using Clock = std::chrono::steady_clock;

constexpr int kRows = 240;
constexpr int kColumns = 5;

std::vector<std::string> cell_texts;

using CellWrite = std::function<void(std::int32_t, std::int32_t, const std::string&)>;
using RowAppend = std::function<std::int32_t()>;

std::int32_t counted_append() { return append_list_row(kWindow, kList); }

// An append that waits for the GUI thread and reads the index there.
std::int32_t waiting_append()
{
    return read_on_gui<std::int32_t>(
        [] {
            return dynamic_cast<ResultList*>(unit_widget(kList))->append_row();
        },
        -1);
}

void fill_list(const RowAppend& append_row, const CellWrite& write_cell)
{
    delete_list_rows(kWindow, kList);
    for (int r = 0; r < kRows; ++r) {
        const std::int32_t row = append_row();
        for (int c = 0; c < kColumns; ++c) write_cell(row, c, cell_texts[static_cast<std::size_t>(r * kColumns + c)]);
    }
    // Waits until the window holds everything written before it.
    cu::free_block(list_cell_text(kWindow, kList, kRows - 1, kColumns - 1));
}

void queued_write(std::int32_t row, std::int32_t column, const std::string& text)
{
    set_list_cell_text(kWindow, kList, row, column, text);
}

void blocking_write(std::int32_t row, std::int32_t column, const std::string& text)
{
    const QString q = QString::fromStdString(text);
    run_on_gui([row, column, q] {
        if (QTreeWidgetItem* item = dynamic_cast<ResultList*>(unit_widget(kList))->row(row)) item->setText(column, q);
    });
}

// The worker's part of a measurement.
RowAppend worker_appends;
CellWrite worker_writes;
double worker_ms = 0;
QEventLoop* gui_loop = nullptr;

void worker_routine()
{
    const Clock::time_point start = Clock::now();
    fill_list(worker_appends, worker_writes);
    worker_ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    QMetaObject::invokeMethod(gui_loop, "quit", Qt::QueuedConnection);
}

double on_worker(RowAppend appends, CellWrite writes)
{
    worker_appends = std::move(appends);
    worker_writes = std::move(writes);
    QEventLoop loop;
    gui_loop = &loop;
    const std::uint32_t handle = cu::start_worker(reinterpret_cast<std::uint64_t>(&worker_routine));
    loop.exec();
    cu::close_worker(handle);
    return worker_ms;
}

double directly_on_gui_thread()
{
    const Clock::time_point start = Clock::now();
    fill_list(counted_append, queued_write);
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main()
{
    for (int i = 0; i < kRows * kColumns; ++i) cell_texts.push_back(gbk("资源名称 ") + std::to_string(i));
    const std::vector<std::uint8_t> form = cu::image::write_form(with_stand_in_handlers(program_form()));
    set_layout(form, test_code_base());
    open_start_window(kWindow);

    constexpr int kRounds = 7;
    std::vector<double> gui, queued, appends_waiting, blocking;
    for (int round = 0; round < kRounds; ++round) {
        gui.push_back(directly_on_gui_thread());
        queued.push_back(on_worker(counted_append, queued_write));
        appends_waiting.push_back(on_worker(waiting_append, queued_write));
        blocking.push_back(on_worker(counted_append, blocking_write));
    }
    const int writes = kRows * kColumns;
    auto line = [&](const char* what, double ms) {
        std::printf("%-48s %8.2f ms  %6.2f us per cell write\n", what, ms, ms * 1000.0 / writes);
    };
    std::printf("%d cell writes (%d rows appended), median of %d rounds, until the window holds them all:\n", writes,
                kRows, kRounds);
    line("GUI thread, direct", median(gui));
    line("worker, writes queued without waiting", median(queued));
    line("worker, the same with each append waiting", median(appends_waiting));
    line("worker, one blocking round trip per write", median(blocking));
    const auto* list = qobject_cast<QTreeWidget*>(unit_widget(kList));
    return list && list->topLevelItemCount() == kRows ? 0 : 1;
}
