#include "unit_properties.h"

#include <QAbstractButton>
#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>

#include "cumulo_abi.h"
#include "layout_window.h"
#include "result_list.h"

namespace cu::window {
namespace {

enum : std::uint32_t {
    kVisible = 3,
    kDisabled = 6,
    kText = 8,
    kCaption = 0x0A,
    kComboSelection = 0x13,
    kListSelection = 0x23,
};

bool is_control(std::uint32_t type)
{
    return type == CU_LTYPE_EDIT || type == CU_LTYPE_LABEL || type == CU_LTYPE_BUTTON || type == CU_LTYPE_COMBO ||
           type == CU_LTYPE_LIST;
}

// The number the selected row was appended under, whatever order the list
// shows; -1 when none is selected.
std::int32_t selected_row(const ResultList& list)
{
    const QList<QTreeWidgetItem*> selected = list.selectedItems();
    return selected.isEmpty() ? -1 : ResultList::row_number(selected.first());
}

}  // namespace

PropertyValue property_value(std::uint32_t type, std::uint32_t property)
{
    switch (property) {
    case kVisible:
        return type == CU_LTYPE_MENU ? PropertyValue::integer : PropertyValue::none;
    case kDisabled:
        return is_control(type) ? PropertyValue::integer : PropertyValue::none;
    case kText:
        return type == CU_LTYPE_LABEL || type == CU_LTYPE_EDIT ? PropertyValue::text : PropertyValue::none;
    case kCaption:
        return type == CU_LTYPE_BUTTON ? PropertyValue::text : PropertyValue::none;
    case kComboSelection:
        return type == CU_LTYPE_COMBO ? PropertyValue::integer : PropertyValue::none;
    case kListSelection:
        return type == CU_LTYPE_LIST ? PropertyValue::integer : PropertyValue::none;
    default:
        return PropertyValue::none;
    }
}

std::int32_t read_integer_property(const LayoutWindow& window, std::uint32_t unit, std::uint32_t property)
{
    QWidget* widget = window.control(unit);
    switch (property) {
    case kVisible:
        if (QAction* action = window.menu_action(unit)) return action->isVisible() ? 1 : 0;
        return 0;
    case kDisabled:
        return widget && !widget->isEnabled() ? 1 : 0;
    case kComboSelection:
        if (auto* combo = qobject_cast<QComboBox*>(widget)) return combo->currentIndex();
        return 0;
    case kListSelection:
        if (auto* list = dynamic_cast<ResultList*>(widget)) return selected_row(*list);
        return -1;
    default:
        return 0;
    }
}

QString read_text_property(const LayoutWindow& window, std::uint32_t unit, std::uint32_t property)
{
    QWidget* widget = window.control(unit);
    if (property == kText) {
        if (auto* label = qobject_cast<QLabel*>(widget)) return label->text();
        if (auto* edit = qobject_cast<QLineEdit*>(widget)) return edit->text();
    } else if (property == kCaption) {
        if (auto* button = qobject_cast<QAbstractButton*>(widget)) return button->text();
    }
    return {};
}

void write_integer_property(LayoutWindow& window, std::uint32_t unit, std::uint32_t property, std::int32_t value)
{
    QWidget* widget = window.control(unit);
    switch (property) {
    case kVisible:
        if (QAction* action = window.menu_action(unit)) action->setVisible(value != 0);
        break;
    case kDisabled:
        if (widget) widget->setEnabled(value == 0);
        break;
    case kComboSelection:
        if (auto* combo = qobject_cast<QComboBox*>(widget); combo && value >= -1 && value < combo->count())
            combo->setCurrentIndex(value);
        break;
    default:
        break;
    }
}

void write_text_property(LayoutWindow& window, std::uint32_t unit, std::uint32_t property, const QString& text)
{
    QWidget* widget = window.control(unit);
    if (property == kText) {
        if (auto* label = qobject_cast<QLabel*>(widget)) label->setText(text);
        else if (auto* edit = qobject_cast<QLineEdit*>(widget)) edit->setText(text);
    } else if (property == kCaption) {
        if (auto* button = qobject_cast<QAbstractButton*>(widget)) button->setText(text);
    }
}

}  // namespace cu::window
