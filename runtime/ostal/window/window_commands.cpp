// The kernel's window commands: clipboard, message box, pending events,
// popup menu and combo-box item values.
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QCursor>
#include <QEventLoop>
#include <QMenu>
#include <QMessageBox>

#include <functional>
#include <optional>

#include "guarded_command.h"
#include "gui_thread.h"
#include "kernel_modules.h"
#include "layout_window.h"
#include "qt_text.h"
#include "unit_arg.h"
#include "values.h"
#include "window_registry.h"

namespace cu::window {
namespace {

// 0x2C8 text: the clipboard then holds exactly the text.
cu_value set_clipboard(const cu::Args& args)
{
    const QString text = from_gbk(args.text(0));
    write_on_gui([text] { QApplication::clipboard()->setText(text); });
    return cu::none_result();
}

// A box with no owner window and no modality: while it is open the main
// window still takes input (its stop button, its list). `closed` runs once,
// on the GUI thread, when the box has been answered or closed, unless
// `receiver` is gone by then.
void open_message_box(const QString& title, const QString& text, const QObject* receiver,
                      std::function<void()> closed)
{
    auto* box = new QMessageBox(QMessageBox::NoIcon, title, text, QMessageBox::Ok);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    QObject::connect(box, &QDialog::finished, receiver ? receiver : box, [closed = std::move(closed)] { closed(); });
    before_modal(box);
    box->show();
}

// On the GUI thread (a handler): the handler waits for the answer in an event
// loop of its own, in which the main window goes on working.
void wait_for_message_box(const QString& title, const QString& text)
{
    const WindowsKeptWhileWaiting kept;
    bool closed = false;
    QEventLoop loop;
    open_message_box(title, text, &loop, [&closed, &loop] {
        closed = true;
        loop.quit();
    });
    if (!closed) loop.exec();
}

// 0x300 message, style, title, owner: a box with one OK button and no owner;
// returns when it is closed (a worker waits without holding up the GUI
// thread, and is released by a stop). The style is 0 at every call and the
// owner omitted.
cu_value message_box(const cu::Args& args)
{
    const QString text = from_gbk(args.text(0));
    const QString title = from_gbk(args.text(2));
    if (on_gui_thread()) wait_for_message_box(title, text);
    else await_on_gui([=](std::function<void()> done) { open_message_box(title, text, nullptr, std::move(done)); });
    return cu::none_result();
}

// 0x350: the calling thread's pending window events. A worker has none; its
// stop check is the command call itself.
cu_value process_events(const cu::Args&)
{
    if (on_gui_thread()) QApplication::processEvents();
    return cu::none_result();
}

void pop_up(UnitArg window_unit, UnitArg menu_unit, std::optional<QPoint> client_point)
{
    LayoutWindow* window = open_window(window_unit.window);
    QMenu* menu = window ? window->submenu(menu_unit.unit) : nullptr;
    if (!menu) return;
    const QPoint at = client_point ? window->centralWidget()->mapToGlobal(*client_point) : QCursor::pos();
    before_modal(menu);
    menu->exec(at);
}

// 0x394 window, menu item, x, y: the menu item's visible sub-items as a popup
// at the mouse position (or at x, y in the window's client area when given);
// a chosen item runs its handler.
cu_value popup_menu(const cu::Args& args)
{
    const UnitArg window_unit = unit_arg(args, 0);
    const UnitArg menu_unit = unit_arg(args, 1);
    std::optional<QPoint> client_point;
    if (!args.omitted(2) && !args.omitted(3)) client_point = QPoint(args.integer(2), args.integer(3));
    if (on_gui_thread()) pop_up(window_unit, menu_unit, client_point);
    else run_on_gui([=] { pop_up(window_unit, menu_unit, client_point); });
    return cu::none_result();
}

// 0x3B4 combo box, index: the integer attached to that item; 0 when there is
// no such item.
cu_value combo_item_value(const cu::Args& args)
{
    const UnitArg combo_unit = unit_arg(args, 0);
    const std::int32_t index = args.integer(1);
    const std::int32_t value = read_on_gui<std::int32_t>(
        [=] {
            const LayoutWindow* window = open_window(combo_unit.window);
            auto* combo = window ? qobject_cast<QComboBox*>(window->control(combo_unit.unit)) : nullptr;
            return combo && index >= 0 && index < combo->count() ? combo->itemData(index).toInt() : 0;
        },
        0);
    return cu::int_result(value);
}

constexpr cu_command commands[] = {
    {0x2C8, cu::guarded<set_clipboard>}, {0x300, cu::guarded<message_box>},
    {0x350, cu::guarded<process_events>}, {0x394, cu::guarded<popup_menu>},
    {0x3B4, cu::guarded<combo_item_value>},
};

}  // namespace
}  // namespace cu::window

namespace cu::kernel {

std::span<const cu_command> window_commands() { return cu::window::commands; }

}  // namespace cu::kernel
