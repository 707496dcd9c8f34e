// The real program in this process: the runtime loads the built image and
// opens its main window; the test drives the window on the GUI thread and
// sees every message box and popup before it runs.
#pragma once
#include <QString>
#include <QStringList>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTreeWidget;

namespace e2e {

// Loads the runtime (ostal.vlr at `kernel_library`) and the image, and opens
// the main window. Once per process, on the main thread.
void open_program(const std::string& kernel_library, const std::string& image_path);

// The address of the image routine `name` (looked up in the image's map
// file, beside the image); null when the map has no such routine.
void* image_routine(const std::string& name);

// The program's worker handle, as its global in "var" holds it now.
std::int32_t worker_handle();

QPushButton* search_button();
QLineEdit* keyword_box();
QComboBox* type_combo();
QTreeWidget* result_list();
// The rows as the list shows them, top to bottom, every column.
std::vector<std::vector<QString>> shown_rows();
QLabel* status_label();

// Runs the event loop until `done` holds; false when `timeout` passed first.
bool pump_until(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(10));
void pump_for(std::chrono::milliseconds duration);

// A message box or popup as it was about to run.
struct Modal {
    bool is_menu = false;
    QString title, text;       // message box
    QStringList visible_items; // popup, in order
    int rows_when_shown = -1;  // result list rows at that moment
};

// Every message box is closed with OK as soon as it runs. The next popup
// chooses the item with caption `item` (or closes with nothing chosen when
// `item` is empty).
void choose_in_next_popup(const QString& item);
// The message boxes and popups shown since the last call, oldest first.
std::vector<Modal> take_modals();

// Right-clicks the result list (its bound right-click handler runs when the
// list is enabled).
void right_click_list();
// Selects row `row` of the result list; -1 clears the selection.
void select_row(int row);
// Right-clicks the row the list shows at `position` (counted from the top),
// as a user does: the press selects it, then its popup runs.
void right_click_shown_row(int position);
// Clicks the title of result list column `column` (a disabled list ignores it).
void click_column_title(int column);

// The window state between searches: caption, status, inputs enabled.
struct IdleState {
    QString caption, status;
    bool inputs_enabled = false;
};
IdleState idle_state();

}  // namespace e2e
