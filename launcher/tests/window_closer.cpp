// Preloaded into the real cumulo-search by the tests that start it as a user
// would: once the program's window is up, closes every top-level window, so
// the message loop returns and the program ends through EndProgram(0).
// With CUMULO_TEST_SEARCH=<keyword> it first searches as a user does (types
// the keyword, clicks Search, waits for the search to end) and reports the
// rows before closing.
#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QMetaObject>
#include <QPushButton>
#include <QTreeWidget>
#include <QWidget>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

const char* const search_keyword = std::getenv("CUMULO_TEST_SEARCH");

enum class Step { WaitForWindow, Searching, Close };
Step step = Step::WaitForWindow;  // touched on the GUI thread only

template <typename W>
W* find_widget(bool (*wanted)(W*) = nullptr)
{
    for (QWidget* top : QApplication::topLevelWidgets())
        for (W* w : top->findChildren<W*>())
            if (!wanted || wanted(w)) return w;
    return nullptr;
}

QPushButton* search_button()
{
    return find_widget<QPushButton>([](QPushButton* b) { return b->text() == QString::fromUtf8("搜索") ||
                                                                b->text() == QString::fromUtf8("停止"); });
}

template <typename W>
W* find_widget_among_windows()
{
    for (QWidget* top : QApplication::topLevelWidgets())
        if (auto* w = qobject_cast<W*>(top); w && w->isVisible()) return w;
    return nullptr;
}

bool any_window_visible()
{
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->isVisible()) return true;
    return false;
}

void start_search()
{
    QLineEdit* keyword = find_widget<QLineEdit>();
    QPushButton* button = search_button();
    if (!keyword || !button) {
        std::fprintf(stderr, "window-closer: no keyword box or Search button in the window\n");
        step = Step::Close;
        return;
    }
    keyword->setText(QString::fromUtf8(search_keyword));
    button->click();
    step = Step::Searching;
}

// The caption goes back to "搜索" when the search has ended; a message box on
// the way (a refused keyword) is reported and closed, as a user would.
void report_when_ended()
{
    // Message boxes have no owner and no modality: look among the top-level windows.
    if (auto* box = find_widget_among_windows<QMessageBox>()) {
        std::fprintf(stderr, "window-closer: message box \"%s\"\n", box->text().toUtf8().constData());
        box->close();
        return;
    }
    QPushButton* button = search_button();
    if (!button || button->text() != QString::fromUtf8("搜索")) return;
    QTreeWidget* list = find_widget<QTreeWidget>();
    std::fprintf(stderr, "window-closer: search for \"%s\" gave %d rows, first \"%s\"\n", search_keyword,
                 list ? list->topLevelItemCount() : -1,
                 list && list->topLevelItemCount() ? list->topLevelItem(0)->text(1).toUtf8().constData() : "");
    step = Step::Close;
}

void advance()
{
    switch (step) {
    case Step::WaitForWindow:
        if (!any_window_visible()) return;
        if (search_keyword && *search_keyword) start_search();
        else step = Step::Close;
        return;
    case Step::Searching: report_when_ended(); return;
    case Step::Close:
        if (!any_window_visible()) return;
        for (QWidget* w : QApplication::topLevelWidgets()) w->close();
        std::fprintf(stderr, "window-closer: closed the program's window\n");
        return;
    }
}

void drive()
{
    using namespace std::chrono_literals;
    for (int i = 0; i < 3000; ++i) {
        std::this_thread::sleep_for(10ms);
        QCoreApplication* app = QCoreApplication::instance();
        if (!app) continue;
        // Ask the GUI thread; it alone may touch the widgets.
        QMetaObject::invokeMethod(app, advance, Qt::QueuedConnection);
    }
}

[[maybe_unused]] const bool started = [] {
    std::thread(drive).detach();
    return true;
}();

}  // namespace
