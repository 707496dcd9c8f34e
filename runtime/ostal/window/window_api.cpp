// The loaded layout, the open windows and the property services.
#include "window_api.h"

#include <QAction>
#include <QApplication>
#include <QFont>
#include <QPointer>

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <string>

#include "blocks.h"
#include "error_dialog.h"
#include "errors.h"
#include "form.h"
#include "gui_thread.h"
#include "layout_window.h"
#include "qt_text.h"
#include "repaint_pacing.h"
#include "unit_properties.h"
#include "window_registry.h"

namespace cu::window {
namespace {

// Set once by set_layout before the start routine runs; read-only afterwards.
std::optional<image::Form> loaded_layout;
const void* loaded_code_base = nullptr;

// GUI thread only.
std::map<std::uint32_t, QPointer<LayoutWindow>> windows;
std::function<void(QWidget*)> modal_hook;
int waits_keeping_windows = 0;  // WindowsKeptWhileWaiting under way

void ensure_application()
{
    if (QApplication::instance()) return;
    static int argc = 1;
    static char name[] = "cumulo-search";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);
    // The program's texts are Chinese: prefer the CJK face where it is installed.
    QFont font = QApplication::font();
    font.setFamilies({QStringLiteral("WenQuanYi Micro Hei"), font.family()});
    QApplication::setFont(font);
}

void open_on_gui_thread(std::uint32_t window_id)
{
    if (LayoutWindow* open = open_window(window_id)) {
        open->raise();
        return;
    }
    const image::FormWindow* record = loaded_layout ? loaded_layout->find(window_id) : nullptr;
    if (!record) {
        char id[16];
        std::snprintf(id, sizeof id, "0x%08X", window_id);
        cu::fatal(std::string("the window layout holds no window ") + id);
    }
    auto* window = new LayoutWindow(*record, loaded_code_base);
    window->setAttribute(Qt::WA_DeleteOnClose, waits_keeping_windows == 0);
    windows[window_id] = window;
    pace_repaints_while_workers_run();
    window->show_at_stored_geometry();
    show_fatal_errors_in_a_dialog();
}

}  // namespace

std::uint32_t layout_unit_type(std::uint32_t window, std::uint32_t unit)
{
    const image::FormWindow* record = loaded_layout ? loaded_layout->find(window) : nullptr;
    const image::Unit* u = record ? record->find(unit) : nullptr;
    return u ? u->type : 0;
}

LayoutWindow* open_window(std::uint32_t window)
{
    auto it = windows.find(window);
    return it == windows.end() ? nullptr : it->second.data();
}

bool any_window_open()
{
    return std::any_of(windows.begin(), windows.end(), [](const auto& w) { return !w.second.isNull(); });
}

WindowsKeptWhileWaiting::WindowsKeptWhileWaiting()
{
    if (waits_keeping_windows++ > 0) return;
    for (const auto& [id, window] : windows)
        if (window) window->setAttribute(Qt::WA_DeleteOnClose, false);
}

WindowsKeptWhileWaiting::~WindowsKeptWhileWaiting()
{
    if (--waits_keeping_windows > 0) return;
    for (const auto& [id, window] : windows) {
        if (!window) continue;
        window->setAttribute(Qt::WA_DeleteOnClose);
        // Closed while kept: deleted once control is back in the event loop.
        if (!window->isVisible()) window->deleteLater();
    }
}

void before_modal(QWidget* box_or_menu)
{
    if (modal_hook) modal_hook(box_or_menu);
}

void set_layout(std::span<const std::uint8_t> form, const void* code_base)
{
    std::string error;
    std::optional<image::Form> parsed = image::parse_form(form, &error);
    if (!parsed) cu::fatal("the window layout cannot be read: " + error);
    loaded_layout = std::move(parsed);
    loaded_code_base = code_base;
}

// The application belongs to the thread that opens the first window: the
// start routine's, the process's main thread.
void open_start_window(std::uint32_t window_id)
{
    ensure_application();
    if (on_gui_thread()) open_on_gui_thread(window_id);
    else run_on_gui([window_id] { open_on_gui_thread(window_id); });
}

void run_message_loop()
{
    if (!on_gui_thread()) return;
    if (any_window_open()) QApplication::exec();
}

std::uint64_t read_unit_property(std::uint32_t window, std::uint32_t unit, std::uint32_t property)
{
    switch (property_value(layout_unit_type(window, unit), property)) {
    case PropertyValue::integer: {
        const std::int32_t value = read_on_gui<std::int32_t>(
            [=] {
                const LayoutWindow* w = open_window(window);
                return w ? read_integer_property(*w, unit, property) : 0;
            },
            0);
        return static_cast<std::uint32_t>(value);
    }
    case PropertyValue::text: {
        const QString text = read_on_gui<QString>(
            [=] {
                const LayoutWindow* w = open_window(window);
                return w ? read_text_property(*w, unit, property) : QString();
            },
            QString());
        // The block is made on the calling thread, which owns it.
        return reinterpret_cast<std::uint64_t>(cu::new_text(to_gbk(text)));
    }
    case PropertyValue::none:
        break;
    }
    return 0;
}

void write_unit_property(std::uint32_t window, std::uint32_t unit, std::uint32_t property, std::uint64_t value)
{
    switch (property_value(layout_unit_type(window, unit), property)) {
    case PropertyValue::integer: {
        const auto number = static_cast<std::int32_t>(value);
        write_on_gui([=] {
            if (LayoutWindow* w = open_window(window)) write_integer_property(*w, unit, property, number);
        });
        break;
    }
    case PropertyValue::text: {
        // Converted here: the caller's block may be gone when the call runs.
        const QString text = from_gbk(reinterpret_cast<const char*>(value));
        write_on_gui([=] {
            if (LayoutWindow* w = open_window(window)) write_text_property(*w, unit, property, text);
        });
        break;
    }
    case PropertyValue::none:
        break;
    }
}

QWidget* unit_widget(std::uint32_t unit)
{
    for (const auto& [id, window] : windows)
        if (window)
            if (QWidget* w = window->control(unit)) return w;
    return nullptr;
}

QAction* menu_item_action(std::uint32_t unit)
{
    for (const auto& [id, window] : windows)
        if (window)
            if (QAction* a = window->menu_action(unit)) return a;
    return nullptr;
}

void set_modal_hook(std::function<void(QWidget*)> hook) { modal_hook = std::move(hook); }

}  // namespace cu::window
