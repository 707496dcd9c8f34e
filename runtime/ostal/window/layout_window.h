// A top-level window built from its layout record: the window unit gives the
// caption and the outer geometry, every control unit a widget at its place in
// the client area, the menu items one menu tree. Event bindings run the
// program's handlers on the GUI thread. Lives on the GUI thread only.
#pragma once
#include <QMainWindow>

#include <cstdint>
#include <unordered_map>

#include "form.h"

class QAction;
class QMenu;

namespace cu::window {

class LayoutWindow : public QMainWindow {
public:
    // `code_base` is where handler offsets count from.
    LayoutWindow(const image::FormWindow& record, const void* code_base);

    // Shows the window with its frame at the stored outer geometry.
    void show_at_stored_geometry();

    // The widget of a control unit (this window for the window unit), the
    // action of a menu item, the menu of a menu item that has sub-items (or is
    // top-level); null when the unit is not of that kind.
    QWidget* control(std::uint32_t unit) const;
    QAction* menu_action(std::uint32_t unit) const;
    QMenu* submenu(std::uint32_t unit) const;

protected:
    bool event(QEvent* event) override;

private:
    void fit_outer_size();
    void build_control(const image::Unit& unit);
    void build_menus(const image::FormWindow& record);
    void bind_events(const image::Unit& unit, QWidget* widget);
    void run_handler(std::uint32_t offset) const;

    const void* code_base_ = nullptr;
    QRect stored_geometry_;
    bool outer_size_fitted_ = false;  // the frame was known and taken off the client area
    QWidget* client_ = nullptr;
    std::unordered_map<std::uint32_t, QWidget*> controls_;
    std::unordered_map<std::uint32_t, QAction*> menu_actions_;
    std::unordered_map<std::uint32_t, QMenu*> submenus_;
};

}  // namespace cu::window
