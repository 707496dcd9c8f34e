#include "result_list.h"

#include <QHeaderView>

#include <algorithm>

#include "row_order.h"

namespace cu::window {
namespace {

// A row of the list, knowing the number it was appended under.
class ResultRow : public QTreeWidgetItem {
public:
    explicit ResultRow(int number) : number_(number) {}
    int number() const { return number_; }

    // Qt sorts with this in both directions (descending swaps the operands),
    // so equal cells fall back to the answer's order and a second click gives
    // exactly the reverse.
    bool operator<(const QTreeWidgetItem& other) const override
    {
        const auto* row = dynamic_cast<const ResultRow*>(&other);
        if (!row) return QTreeWidgetItem::operator<(other);
        const auto* list = dynamic_cast<const ResultList*>(treeWidget());
        const int column = list ? list->sortColumn() : 0;
        if (list && list->sorts_by_cells(column)) {
            const int order = compare_cell_texts(text(column), row->text(column));
            if (order != 0) return order < 0;
        }
        return number_ < row->number_;
    }

private:
    const int number_;
};

}  // namespace

ResultList::ResultList(QWidget* parent, std::vector<int> hidden_columns)
    : QTreeWidget(parent), hidden_columns_(std::move(hidden_columns))
{
    // A fresh header points at the first column, descending: start from the
    // answer's order with no direction shown.
    header()->setSortIndicator(-1, Qt::AscendingOrder);
    setSortingEnabled(true);
    // Connected after the view's own sorting, so the view has sorted by a
    // hidden column already when it gives way (sorting again).
    connect(header(), &QHeaderView::sortIndicatorChanged, this, &ResultList::keep_sort_column);
    // Tied to the header, which the list destroys before its model (whose
    // last clear still signals).
    QHeaderView* shown_order = header();
    connect(model(), &QAbstractItemModel::modelReset, shown_order,
            [shown_order] { shown_order->setSortIndicator(-1, Qt::AscendingOrder); });
}

int ResultList::append_row()
{
    auto* row = new ResultRow(topLevelItemCount());
    addTopLevelItem(row);
    return row->number();
}

QTreeWidgetItem* ResultList::row(int number) const
{
    const int count = topLevelItemCount();
    if (number < 0 || number >= count) return nullptr;
    // In the answer's order each row stands at its own number.
    if (QTreeWidgetItem* item = topLevelItem(number); row_number(item) == number) return item;
    for (int i = 0; i < count; ++i)
        if (QTreeWidgetItem* item = topLevelItem(i); row_number(item) == number) return item;
    return nullptr;
}

int ResultList::row_number(const QTreeWidgetItem* item)
{
    const auto* row = dynamic_cast<const ResultRow*>(item);
    return row ? row->number() : -1;
}

bool ResultList::sorts_by_cells(int column) const
{
    return column > 0 && !is_hidden(column);
}

bool ResultList::is_hidden(int column) const
{
    return std::find(hidden_columns_.begin(), hidden_columns_.end(), column) != hidden_columns_.end();
}

void ResultList::keep_sort_column(int column, Qt::SortOrder order)
{
    if (!is_hidden(column)) {
        sort_column_ = column;
        sort_order_ = order;
        return;
    }
    header()->setSortIndicator(sort_column_, sort_order_);
}

}  // namespace cu::window
