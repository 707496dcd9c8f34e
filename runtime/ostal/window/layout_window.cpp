#include "layout_window.h"

#include <QAbstractButton>
#include <QAction>
#include <QEvent>
#include <QMenu>
#include <QMenuBar>
#include <QTreeWidget>

#include <algorithm>
#include <vector>

#include "control_factory.h"
#include "qt_text.h"

namespace cu::window {

LayoutWindow::LayoutWindow(const image::FormWindow& record, const void* code_base)
    : code_base_(code_base)
{
    client_ = new QWidget(this);
    setCentralWidget(client_);
    for (const image::Unit& unit : record.units) {
        if (unit.type == CU_LTYPE_WINDOW) {
            // The window's own event bindings are not raised: this layout
            // binds only empty handlers there.
            if (unit.window) setWindowTitle(from_gbk(unit.window->caption));
            stored_geometry_ = QRect(unit.left, unit.top, unit.width, unit.height);
            controls_[unit.id] = this;
        } else if (!unit.is_menu_item()) {
            build_control(unit);
        }
    }
    build_menus(record);
}

void LayoutWindow::build_control(const image::Unit& unit)
{
    QWidget* parent = client_;
    if (auto it = controls_.find(unit.parent); unit.parent != 0 && it != controls_.end()) parent = it->second;
    QWidget* widget = make_control(unit, parent);
    if (!widget) return;
    widget->setGeometry(unit.left, unit.top, unit.width, unit.height);
    widget->setHidden(!(unit.flags & image::kFlagVisible));
    widget->setFocusPolicy(unit.flags & image::kFlagTakesFocus ? Qt::StrongFocus : Qt::NoFocus);
    controls_[unit.id] = widget;
    bind_events(unit, widget);
}

// Events this window raises: a button's click (0) and a list's right-click
// (5). A binding of any other event is never raised.
void LayoutWindow::bind_events(const image::Unit& unit, QWidget* widget)
{
    for (const image::EventBinding& binding : unit.events) {
        const std::uint32_t handler = binding.handler;
        if (unit.type == CU_LTYPE_BUTTON && binding.event == 0) {
            connect(static_cast<QAbstractButton*>(widget), &QAbstractButton::clicked, this,
                    [this, handler] { run_handler(handler); });
        } else if (unit.type == CU_LTYPE_LIST && binding.event == 5) {
            connect(static_cast<QTreeWidget*>(widget), &QWidget::customContextMenuRequested, this,
                    [this, handler] { run_handler(handler); });
        }
    }
}

// The menu items in stored order form one tree by their levels: an item
// belongs to the nearest item before it one level up. An item with sub-items
// (and every top-level item) is a menu; the others are plain actions. Top-level
// menus go into a menu bar only when one of them is visible.
void LayoutWindow::build_menus(const image::FormWindow& record)
{
    std::vector<const image::Unit*> items;
    for (const image::Unit& unit : record.units)
        if (unit.is_menu_item()) items.push_back(&unit);

    std::vector<QMenu*> open;  // open[level]: the menu that takes items of level + 1
    std::vector<QMenu*> top_level;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const image::Unit& item = *items[i];
        if (open.size() > item.menu_level) open.resize(item.menu_level);
        QMenu* parent = open.empty() ? nullptr : open.back();
        const bool has_subitems = i + 1 < items.size() && items[i + 1]->menu_level > item.menu_level;
        const QString caption = from_gbk(item.menu_caption);

        QAction* action = nullptr;
        if (has_subitems || !parent) {
            auto* menu = new QMenu(caption, this);
            submenus_[item.id] = menu;
            action = menu->menuAction();
            if (parent) parent->addMenu(menu);
            else top_level.push_back(menu);
            open.push_back(menu);
        } else {
            action = new QAction(caption, this);
            parent->addAction(action);
        }
        action->setVisible(!item.menu_hidden);
        if (item.menu_handler != image::kNoHandler) {
            const auto handler = static_cast<std::uint32_t>(item.menu_handler);
            connect(action, &QAction::triggered, this, [this, handler] { run_handler(handler); });
        }
        menu_actions_[item.id] = action;
    }

    const bool menu_bar_shown =
        std::any_of(top_level.begin(), top_level.end(), [](QMenu* m) { return m->menuAction()->isVisible(); });
    if (menu_bar_shown)
        for (QMenu* menu : top_level) menuBar()->addMenu(menu);
}

void LayoutWindow::run_handler(std::uint32_t offset) const
{
    using Handler = void (*)();
    reinterpret_cast<Handler>(static_cast<const char*>(code_base_) + offset)();
}

void LayoutWindow::show_at_stored_geometry()
{
    move(stored_geometry_.topLeft());
    resize(stored_geometry_.size());
    show();
    fit_outer_size();
}

// The stored size is the outer one, frame and caption included: once the
// platform reports the frame (at once, or when a window manager has framed
// the window), the client area gives up that much, one time.
void LayoutWindow::fit_outer_size()
{
    if (outer_size_fitted_ || !isVisible()) return;
    const QRect frame = frameGeometry();
    const int extra_width = frame.width() - width();
    const int extra_height = frame.height() - height();
    if (extra_width <= 0 && extra_height <= 0) return;
    outer_size_fitted_ = true;
    resize(stored_geometry_.width() - extra_width, stored_geometry_.height() - extra_height);
}

bool LayoutWindow::event(QEvent* event)
{
    if (event->type() == QEvent::Move || event->type() == QEvent::Show || event->type() == QEvent::WindowActivate)
        fit_outer_size();
    return QMainWindow::event(event);
}

QWidget* LayoutWindow::control(std::uint32_t unit) const
{
    auto it = controls_.find(unit);
    return it == controls_.end() ? nullptr : it->second;
}

QAction* LayoutWindow::menu_action(std::uint32_t unit) const
{
    auto it = menu_actions_.find(unit);
    return it == menu_actions_.end() ? nullptr : it->second;
}

QMenu* LayoutWindow::submenu(std::uint32_t unit) const
{
    auto it = submenus_.find(unit);
    return it == submenus_.end() ? nullptr : it->second;
}

}  // namespace cu::window
