// What the kernel's services ask of the window (implemented in this folder).
// Every function may be called from the GUI thread or from a worker; a
// worker's call is handed to the GUI thread.
#pragma once
#include <cstdint>
#include <functional>
#include <span>
#include <string_view>

class QAction;
class QWidget;

namespace cu::window {

// The "form" section's data as loaded, and the code base for handler offsets.
void set_layout(std::span<const std::uint8_t> form, const void* code_base);

// OpenStartWindow.
void open_start_window(std::uint32_t window_id);
void run_message_loop();                          // RunMessageLoop: returns when the windows are gone
std::uint64_t read_unit_property(std::uint32_t window, std::uint32_t unit, std::uint32_t property);
void write_unit_property(std::uint32_t window, std::uint32_t unit, std::uint32_t property, std::uint64_t value);

// The rows of a list unit (the widgx list commands). Rows and columns count
// from 0. A worker's writes are queued without waiting, in order.
// A fresh text block: the cell's text, the empty text when there is no such cell.
char* list_cell_text(std::uint32_t window, std::uint32_t unit, std::int32_t row, std::int32_t column);
// `text` is GBK; a cell that does not exist is left alone.
void set_list_cell_text(std::uint32_t window, std::uint32_t unit, std::int32_t row, std::int32_t column,
                        std::string_view text);
// Appends an empty row; its index, -1 when the unit is not a list.
std::int32_t append_list_row(std::uint32_t window, std::uint32_t unit);
void delete_list_rows(std::uint32_t window, std::uint32_t unit);

// Test hooks, for the GUI thread. The widget of a unit of an open window (the
// window itself for its window unit), the action of a menu item; null when
// there is none.
QWidget* unit_widget(std::uint32_t unit);
QAction* menu_item_action(std::uint32_t unit);
// Called with each message box and popup menu just before it runs (a test
// closes it from here, e.g. with a QTimer); an empty function removes it.
void set_modal_hook(std::function<void(QWidget*)> hook);

}  // namespace cu::window
