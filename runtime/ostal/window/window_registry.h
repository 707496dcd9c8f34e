// The layout as loaded and the windows built from it. The layout is set once
// before any window opens and only read afterwards, from any thread; the
// windows are reached on the GUI thread only.
#pragma once
#include <cstdint>

class QWidget;

namespace cu::window {

class LayoutWindow;

// The library type id of a unit in the loaded layout; 0 when there is none.
std::uint32_t layout_unit_type(std::uint32_t window, std::uint32_t unit);

// An open window; null when it is not (or no longer) open. GUI thread only.
LayoutWindow* open_window(std::uint32_t window);

// Whether any window is open. GUI thread only.
bool any_window_open();

// While a handler waits on the GUI thread for an answer (a message box's own
// event loop, in which the windows stay live), the windows are kept: one
// closed meanwhile is only hidden, and deleted once the outermost wait is
// over. The handler's frames, and the menu or button that called it, are
// still on the stack until then. GUI thread only.
class WindowsKeptWhileWaiting {
public:
    WindowsKeptWhileWaiting();
    ~WindowsKeptWhileWaiting();
    WindowsKeptWhileWaiting(const WindowsKeptWhileWaiting&) = delete;
    WindowsKeptWhileWaiting& operator=(const WindowsKeptWhileWaiting&) = delete;
};

// Gives the test hook its look at a message box or menu about to run.
void before_modal(QWidget* box_or_menu);

}  // namespace cu::window
