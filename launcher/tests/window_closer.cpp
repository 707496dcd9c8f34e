// Preloaded into the real cumulo-search by the end-to-end test: once the
// program's window is up, closes every top-level window, as a user would, so
// the message loop returns and the program ends through EndProgram(0).
#include <QApplication>
#include <QMetaObject>
#include <QWidget>

#include <chrono>
#include <cstdio>
#include <thread>

namespace {

bool any_window_visible()
{
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->isVisible()) return true;
    return false;
}

void close_when_shown()
{
    using namespace std::chrono_literals;
    for (int i = 0; i < 3000; ++i) {
        std::this_thread::sleep_for(10ms);
        QCoreApplication* app = QCoreApplication::instance();
        if (!app) continue;
        // Ask the GUI thread; it alone may touch the widgets.
        QMetaObject::invokeMethod(
            app,
            [] {
                if (!any_window_visible()) return;
                for (QWidget* w : QApplication::topLevelWidgets()) w->close();
                std::fprintf(stderr, "window-closer: closed the program's window\n");
            },
            Qt::QueuedConnection);
    }
}

[[maybe_unused]] const bool started = [] {
    std::thread(close_when_shown).detach();
    return true;
}();

}  // namespace
