// The rows of a list unit. A worker fills the list with one append and a few
// cell writes per row; every write is queued without waiting. An append must
// still return the index its row will have once the queue has run: each list
// keeps the row count as its last worker will leave it, taken from the list
// itself (one waiting call) whenever another thread has touched the list in
// between. A worker's own calls run in order, and those of a stopped worker
// are skipped altogether, so its count holds for as long as its answers
// matter.
#include <map>
#include <mutex>

#include "blocks.h"
#include "gui_thread.h"
#include "layout_window.h"
#include "qt_text.h"
#include "result_list.h"
#include "window_api.h"
#include "window_registry.h"
#include "worker.h"

namespace cu::window {
namespace {

ResultList* list_widget(std::uint32_t window, std::uint32_t unit)
{
    const LayoutWindow* w = open_window(window);
    return w ? dynamic_cast<ResultList*>(w->control(unit)) : nullptr;
}

bool is_list(std::uint32_t window, std::uint32_t unit) { return layout_unit_type(window, unit) == CU_LTYPE_LIST; }

// The row count a list will have once the calls queued by `owner` have run.
struct RowCount {
    std::uint64_t owner = 0;  // 0: nobody's count; ask the list
    std::int32_t rows = 0;
};

std::mutex row_counts_mutex;
std::map<std::pair<std::uint32_t, std::uint32_t>, RowCount> row_counts;

// Called from the thread that changes the list's rows. The GUI thread's own
// changes leave no worker able to trust its count.
void forget_row_count(std::uint32_t window, std::uint32_t unit)
{
    std::lock_guard lock(row_counts_mutex);
    row_counts.erase({window, unit});
}

std::int32_t append_row_now(std::uint32_t window, std::uint32_t unit)
{
    ResultList* list = list_widget(window, unit);
    return list ? list->append_row() : -1;
}

}  // namespace

char* list_cell_text(std::uint32_t window, std::uint32_t unit, std::int32_t row, std::int32_t column)
{
    if (!is_list(window, unit)) return cu::new_text({});
    const QString text = read_on_gui<QString>(
        [=] {
            ResultList* list = list_widget(window, unit);
            QTreeWidgetItem* item = list && column >= 0 && column < list->columnCount() ? list->row(row) : nullptr;
            return item ? item->text(column) : QString();
        },
        QString());
    return cu::new_text(to_gbk(text));
}

void set_list_cell_text(std::uint32_t window, std::uint32_t unit, std::int32_t row, std::int32_t column,
                        std::string_view text)
{
    if (!is_list(window, unit)) return;
    write_on_gui([=, text = from_gbk(text)] {
        ResultList* list = list_widget(window, unit);
        QTreeWidgetItem* item = list && column >= 0 && column < list->columnCount() ? list->row(row) : nullptr;
        if (item) item->setText(column, text);
    });
}

std::int32_t append_list_row(std::uint32_t window, std::uint32_t unit)
{
    if (!is_list(window, unit)) return -1;
    if (on_gui_thread()) {
        forget_row_count(window, unit);
        return append_row_now(window, unit);
    }

    const std::uint64_t me = cu::current_worker_id();
    std::unique_lock lock(row_counts_mutex);
    auto it = row_counts.find({window, unit});
    if (it == row_counts.end() || it->second.owner != me || me == 0) {
        lock.unlock();
        // Not this worker's count: the list tells, after everything queued.
        return read_on_gui<std::int32_t>(
            [=] {
                const std::int32_t index = append_row_now(window, unit);
                std::lock_guard guard(row_counts_mutex);
                row_counts[{window, unit}] = RowCount{me, index + 1};
                return index;
            },
            -1);
    }
    const std::int32_t index = it->second.rows++;
    lock.unlock();
    post_to_gui([=] { append_row_now(window, unit); });
    return index;
}

void delete_list_rows(std::uint32_t window, std::uint32_t unit)
{
    if (!is_list(window, unit)) return;
    if (on_gui_thread()) {
        forget_row_count(window, unit);
        if (ResultList* list = list_widget(window, unit)) list->clear();
        return;
    }
    const std::uint64_t me = cu::current_worker_id();
    {
        std::lock_guard lock(row_counts_mutex);
        if (me != 0) row_counts[{window, unit}] = RowCount{me, 0};
        else row_counts.erase({window, unit});
    }
    post_to_gui([=] {
        if (ResultList* list = list_widget(window, unit)) list->clear();
    });
}

}  // namespace cu::window
