#include "program_window.h"

#include <dlfcn.h>

#include <QAbstractEventDispatcher>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>

#include <fstream>
#include <stdexcept>

#include "test_entry.h"
#include "window_api.h"

namespace e2e {
namespace {

// Unit ids of the window layout.
constexpr std::uint32_t kWindowId = 0x52010001;
constexpr std::uint32_t kStatusLabel = 0x16010105;
constexpr std::uint32_t kTypeCombo = 0x1601000F;
constexpr std::uint32_t kResultList = 0x16010009;
constexpr std::uint32_t kSearchButton = 0x16010008;
constexpr std::uint32_t kKeywordBox = 0x16010002;

std::vector<Modal> seen;
std::string map_path;
std::uint8_t* code_base = nullptr;
std::uint8_t* var_base = nullptr;
QString next_popup_choice;

template <typename Widget>
Widget* unit_as(std::uint32_t unit)
{
    auto* widget = qobject_cast<Widget*>(cu::window::unit_widget(unit));
    if (!widget) throw std::runtime_error("the window has no such unit: " + std::to_string(unit));
    return widget;
}

void observe_modal(QWidget* widget)
{
    Modal modal;
    modal.rows_when_shown = result_list()->topLevelItemCount();
    if (auto* box = qobject_cast<QMessageBox*>(widget)) {
        modal.title = box->windowTitle();
        modal.text = box->text();
        QTimer::singleShot(0, box, [box] { box->done(QMessageBox::Ok); });
    } else if (auto* menu = qobject_cast<QMenu*>(widget)) {
        modal.is_menu = true;
        QAction* chosen = nullptr;
        for (QAction* action : menu->actions()) {
            if (!action->isVisible()) continue;
            modal.visible_items << action->text();
            if (action->text() == next_popup_choice) chosen = action;
        }
        next_popup_choice.clear();
        QTimer::singleShot(0, menu, [menu, chosen] {
            menu->close();
            if (chosen) chosen->trigger();
        });
    }
    seen.push_back(modal);
}

// A press and a release of `button` at `at` of `widget`, as the mouse gives them.
void click_at(QWidget* widget, QPoint at, Qt::MouseButton button)
{
    const QPointF global = widget->mapToGlobal(QPointF(at));
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(at), global, button, button, Qt::NoModifier);
    QApplication::sendEvent(widget, &press);
    QMouseEvent release(QEvent::MouseButtonRelease, QPointF(at), global, button, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(widget, &release);
}

}  // namespace

void open_program(const std::string& kernel_library, const std::string& image_path)
{
    QFile image(QString::fromStdString(image_path));
    if (!image.open(QIODevice::ReadOnly)) throw std::runtime_error("cannot read the image " + image_path);
    static const QByteArray bytes = image.readAll();

    void* kernel = ::dlopen(kernel_library.c_str(), RTLD_NOW | RTLD_GLOBAL);
    if (!kernel) throw std::runtime_error(std::string("cannot load the runtime: ") + ::dlerror());
    auto* load = reinterpret_cast<decltype(&cu_runtime_load_for_test)>(::dlsym(kernel, "cu_runtime_load_for_test"));
    if (!load) throw std::runtime_error("the runtime has no test entry");
    cu_loaded_for_test loaded{};
    load(bytes.constData(), static_cast<size_t>(bytes.size()), nullptr, &loaded);
    code_base = loaded.code_base;
    var_base = loaded.var_base;
    map_path = image_path.substr(0, image_path.rfind('.')) + ".map";

    cu::window::open_start_window(kWindowId);
    cu::window::set_modal_hook(observe_modal);
}

// Map lines read "<section> <offset> <size> <name>".
std::uint8_t* map_address(const std::string& section, std::uint8_t* base, const std::string& name)
{
    std::ifstream map(map_path);
    std::string kind, offset, size, symbol;
    while (map >> kind >> offset >> size >> symbol)
        if (kind == section && symbol == name) return base + std::stoul(offset, nullptr, 16);
    return nullptr;
}

void* image_routine(const std::string& name) { return map_address("code", code_base, name); }

std::int32_t worker_handle()
{
    static const auto* handle = reinterpret_cast<const std::int32_t*>(map_address("var", var_base, "WorkerHandle"));
    if (!handle) throw std::runtime_error("the image map has no WorkerHandle");
    return __atomic_load_n(handle, __ATOMIC_ACQUIRE);
}

QPushButton* search_button() { return unit_as<QPushButton>(kSearchButton); }
QLineEdit* keyword_box() { return unit_as<QLineEdit>(kKeywordBox); }
QComboBox* type_combo() { return unit_as<QComboBox>(kTypeCombo); }
QTreeWidget* result_list() { return unit_as<QTreeWidget>(kResultList); }
QLabel* status_label() { return unit_as<QLabel>(kStatusLabel); }

// The loop checks `done` each time it is about to sleep, and every
// millisecond besides, since `done` may depend on things outside Qt (the
// fixture service).
bool pump_until(const std::function<bool()>& done, std::chrono::milliseconds timeout)
{
    if (done()) return true;
    QElapsedTimer clock;
    clock.start();
    bool finished = false;
    QEventLoop loop;
    const auto check = [&] {
        if (finished) return;
        finished = done();
        if (finished || clock.elapsed() > timeout.count()) loop.quit();
    };
    QTimer poll;
    poll.setInterval(1);
    QObject::connect(&poll, &QTimer::timeout, &loop, check);
    QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock, &loop, check);
    poll.start();
    loop.exec();
    return finished;
}

void pump_for(std::chrono::milliseconds duration)
{
    QElapsedTimer clock;
    clock.start();
    pump_until([&] { return clock.elapsed() >= duration.count(); }, duration + std::chrono::seconds(1));
}

void choose_in_next_popup(const QString& item) { next_popup_choice = item; }

std::vector<Modal> take_modals() { return std::exchange(seen, {}); }

// A context-menu event on the list's viewport, as a right-click makes one; a
// disabled list ignores it.
void right_click_list()
{
    QWidget* viewport = result_list()->viewport();
    const QPoint at(10, 10);
    QContextMenuEvent event(QContextMenuEvent::Mouse, at, viewport->mapToGlobal(at));
    QApplication::sendEvent(viewport, &event);
}

void select_row(int row)
{
    QTreeWidget* list = result_list();
    list->clearSelection();
    if (row < 0) {
        list->setCurrentItem(nullptr);
        return;
    }
    QTreeWidgetItem* item = list->topLevelItem(row);
    list->setCurrentItem(item);
    item->setSelected(true);
}

void right_click_shown_row(int position)
{
    QTreeWidget* list = result_list();
    QWidget* viewport = list->viewport();
    list->scrollToItem(list->topLevelItem(position));
    const QPoint at = list->visualItemRect(list->topLevelItem(position)).center();
    click_at(viewport, at, Qt::RightButton);
    QContextMenuEvent event(QContextMenuEvent::Mouse, at, viewport->mapToGlobal(at));
    QApplication::sendEvent(viewport, &event);
}

void click_column_title(int column)
{
    QHeaderView* header = result_list()->header();
    const QPoint at(header->sectionViewportPosition(column) + header->sectionSize(column) / 2, header->height() / 2);
    click_at(header->viewport(), at, Qt::LeftButton);
}

IdleState idle_state()
{
    return {search_button()->text(), status_label()->text(),
            keyword_box()->isEnabled() && type_combo()->isEnabled() && result_list()->isEnabled()};
}

std::vector<std::vector<QString>> shown_rows()
{
    std::vector<std::vector<QString>> rows;
    QTreeWidget* list = result_list();
    for (int r = 0; r < list->topLevelItemCount(); ++r) {
        std::vector<QString> cells;
        for (int c = 0; c < 5; ++c) cells.push_back(list->topLevelItem(r)->text(c));
        rows.push_back(cells);
    }
    return rows;
}

}  // namespace e2e
