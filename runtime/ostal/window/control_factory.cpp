#include "control_factory.h"

#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <vector>

#include "qt_text.h"
#include "result_list.h"

namespace cu::window {
namespace {

QWidget* make_label(const image::LabelBlock& block, QWidget* parent)
{
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    label->setText(from_gbk(block.text));
    label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, colour_from_colorref(block.text_colour()));
    label->setPalette(palette);
    return label;
}

QWidget* make_button(const image::ButtonBlock& block, QWidget* parent)
{
    auto* button = new QPushButton(from_gbk(block.caption), parent);
    // Enter in another control must never press it.
    button->setAutoDefault(false);
    button->setDefault(false);
    return button;
}

QWidget* make_combo(const image::ComboBlock& block, QWidget* parent)
{
    auto* combo = new QComboBox(parent);
    for (const image::ComboItem& item : block.items) combo->addItem(from_gbk(item.text), item.value);
    if (combo->count() > 0) combo->setCurrentIndex(0);
    return combo;
}

// A report view: one row per item, the header's columns with their stored
// widths. A width-0 column keeps its cells but shows nothing, and never sorts.
QWidget* make_list(const image::ListBlock& block, QWidget* parent)
{
    std::vector<int> hidden_columns;
    for (std::size_t i = 0; i < block.columns.size(); ++i)
        if (block.columns[i].width == 0) hidden_columns.push_back(static_cast<int>(i));
    auto* list = new ResultList(parent, std::move(hidden_columns));
    list->setRootIsDecorated(false);
    list->setUniformRowHeights(true);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->setSelectionBehavior(QAbstractItemView::SelectRows);
    list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list->setContextMenuPolicy(Qt::CustomContextMenu);
    list->header()->setMinimumSectionSize(0);
    list->header()->setStretchLastSection(false);
    list->header()->setSectionsMovable(false);

    QStringList titles;
    for (const image::ListColumn& column : block.columns) titles << from_gbk(column.title);
    list->setColumnCount(static_cast<int>(titles.size()));
    list->setHeaderLabels(titles);
    for (int i = 0; i < static_cast<int>(block.columns.size()); ++i)
        list->setColumnWidth(i, static_cast<int>(block.columns[static_cast<std::size_t>(i)].width));
    return list;
}

}  // namespace

QColor colour_from_colorref(std::uint32_t colorref)
{
    return QColor(static_cast<int>(colorref & 0xFF), static_cast<int>((colorref >> 8) & 0xFF),
                  static_cast<int>((colorref >> 16) & 0xFF));
}

QWidget* make_control(const image::Unit& unit, QWidget* parent)
{
    switch (unit.type) {
    case CU_LTYPE_LABEL:
        return unit.label ? make_label(*unit.label, parent) : nullptr;
    case CU_LTYPE_BUTTON:
        return unit.button ? make_button(*unit.button, parent) : nullptr;
    case CU_LTYPE_EDIT:
        return new QLineEdit(parent);
    case CU_LTYPE_COMBO:
        return unit.combo ? make_combo(*unit.combo, parent) : nullptr;
    case CU_LTYPE_LIST:
        return unit.list ? make_list(*unit.list, parent) : nullptr;
    default:
        return nullptr;
    }
}

}  // namespace cu::window
