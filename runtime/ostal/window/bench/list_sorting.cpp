// Sorting the result list's 200 rows (a full answer) by a click on a column
// title, until the list has sorted and painted them: each column both ways,
// against the same rows in a plain QTreeWidget sorting by Qt's own text
// comparison (the floor: no Chinese collation, no size keys).
// Run with QT_QPA_PLATFORM=offscreen.
#include <QApplication>
#include <QHeaderView>
#include <QMouseEvent>
#include <QTreeWidget>

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "kernel_modules.h"
#include "program_layout.h"
#include "result_list.h"
#include "window_api.h"

namespace {

using namespace cu::window;
using namespace cu::window::test;
using Clock = std::chrono::steady_clock;

constexpr int kRows = 200;
constexpr int kRounds = 41;

// A size text as the program's formatter writes it.
QString size_text(std::uint64_t bytes)
{
    for (const cu_platform_function& f : cu::kernel::platform_functions())
        if (std::strcmp(f.function, "StrFormatByteSizeA") == 0) {
            char buffer[64] = {};
            const std::uint64_t args[3] = {bytes, reinterpret_cast<std::uint64_t>(buffer), sizeof buffer};
            f.call(args);
            return QString::fromLatin1(buffer);
        }
    return {};
}

// 200 rows like a search's: Chinese names with episode numbers and some
// Latin ones, the four type texts, sizes from bytes to terabytes (some empty).
std::vector<QStringList> answer_rows()
{
    std::mt19937_64 random(18);
    const QString syllables = QString::fromUtf8("资源电影合集高清第集文档音乐相册软件教程视频");
    const QString types[] = {QString::fromUtf8("文件"), QString::fromUtf8("文件夹"), QString::fromUtf8("相册"), "video"};
    std::vector<QStringList> rows;
    for (int i = 0; i < kRows; ++i) {
        QString name;
        for (int k = 0; k < 6; ++k) name += syllables[static_cast<int>(random() % syllables.size())];
        name += QString::number(random() % 40) + (i % 5 == 0 ? " Season" : "");
        const std::uint64_t bytes = i % 11 == 0 ? 0 : random() >> (random() % 60);
        rows.push_back({QString::number(i + 1), name, types[i % 4], bytes ? size_text(bytes) : QString(),
                        QString::number(100000 + i) + "|" + QString::number(7000 + i)});
    }
    return rows;
}

void click_title(QTreeWidget* list, int column)
{
    QHeaderView* header = list->header();
    const QPointF at(header->sectionViewportPosition(column) + header->sectionSize(column) / 2, header->height() / 2);
    const QPointF global = header->viewport()->mapToGlobal(at);
    QMouseEvent press(QEvent::MouseButtonPress, at, global, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(header->viewport(), &press);
    QMouseEvent release(QEvent::MouseButtonRelease, at, global, Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(header->viewport(), &release);
}

double ms_since(Clock::time_point start) { return std::chrono::duration<double, std::milli>(Clock::now() - start).count(); }

// This thread's CPU time: what the click costs, without the time other
// processes on the shared cores take from it.
double thread_cpu_ms()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

struct Figures {
    double median, p90, max;
};
Figures figures(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return {v[v.size() / 2], v[v.size() * 9 / 10], v.back()};
}

// Milliseconds from the click to the sorted list and to the painted one, per
// click: the first click on a column sorts ascending, the next descending.
struct Clicks {
    Figures sorted, painted, painted_cpu;
};
Clicks clicks(QTreeWidget* list, int column)
{
    std::vector<double> sorted, painted, painted_cpu;
    for (int round = 0; round < kRounds; ++round) {
        const Clock::time_point start = Clock::now();
        const double cpu_start = thread_cpu_ms();
        click_title(list, column);
        sorted.push_back(ms_since(start));
        list->viewport()->repaint();
        painted.push_back(ms_since(start));
        painted_cpu.push_back(thread_cpu_ms() - cpu_start);
    }
    return {figures(sorted), figures(painted), figures(painted_cpu)};
}

}  // namespace

int main()
{
    const std::vector<std::uint8_t> form = cu::image::write_form(with_stand_in_handlers(program_form()));
    set_layout(form, test_code_base());
    open_start_window(kWindow);
    auto* list = dynamic_cast<ResultList*>(unit_widget(kList));

    // The floor: a plain list of the same size and columns, shown the same way.
    QTreeWidget plain;
    plain.setColumnCount(5);
    plain.setRootIsDecorated(false);
    plain.setUniformRowHeights(true);
    plain.setGeometry(list->geometry());
    plain.setSortingEnabled(true);
    plain.show();

    for (const QStringList& cells : answer_rows()) {
        QTreeWidgetItem* row = list->row(list->append_row());
        for (int c = 0; c < 5; ++c) row->setText(c, cells[c]);
        plain.addTopLevelItem(new QTreeWidgetItem(cells));
    }
    QApplication::processEvents();

    std::printf("Sorting %d rows by a click on a column title; %d clicks per column, alternately ascending and "
                "descending; median / 90th percentile / max, ms:\n",
                kRows, kRounds);
    std::printf("%-7s %-9s %24s %24s\n", "column", "until", "result list", "plain QTreeWidget");
    const char* const names[] = {"number", "name", "type", "size"};
    const auto line = [](const char* column, const char* until, const Figures& ours, const Figures& floor) {
        std::printf("%-7s %-9s %7.3f / %6.3f / %6.3f %7.3f / %6.3f / %6.3f\n", column, until, ours.median, ours.p90,
                    ours.max, floor.median, floor.p90, floor.max);
    };
    for (int column = 0; column < 4; ++column) {
        const Clicks ours = clicks(list, column);
        const Clicks floor = clicks(&plain, column);
        line(names[column], "sorted", ours.sorted, floor.sorted);
        line("", "painted", ours.painted, floor.painted);
        line("", "(CPU)", ours.painted_cpu, floor.painted_cpu);
    }
    std::printf("one frame: 16.7 ms\n");
    return list->topLevelItemCount() == kRows ? 0 : 1;
}
