// The list unit: a report view the user sorts by clicking a column header
// (a second click reverses, the header shows the direction). Its rows keep
// the number they were appended under, whatever order the view shows: every
// list command and the selected row speak those numbers, so a cell written
// for a row and the row a popup command reads are the same share however the
// list is sorted. The first column sorts by the numbers (the answer's order
// again); clearing the list goes back to that order with no direction shown.
#pragma once
#include <QTreeWidget>

#include <vector>

namespace cu::window {

class ResultList : public QTreeWidget {
public:
    // `hidden_columns` hold data for the program (the share's address), are
    // not shown and never become the sort column.
    ResultList(QWidget* parent, std::vector<int> hidden_columns);

    // Appends an empty row (at the end of the answer's order); its number.
    int append_row();
    // The row appended under `number`; null when there is none.
    QTreeWidgetItem* row(int number) const;
    // The number `item` was appended under; -1 for an item that is not a row.
    static int row_number(const QTreeWidgetItem* item);
    // Whether sorting by `column` orders its cells; the first column and the
    // hidden ones keep the answer's order.
    bool sorts_by_cells(int column) const;

private:
    bool is_hidden(int column) const;
    // A hidden column as the sort column gives way to the one before.
    void keep_sort_column(int column, Qt::SortOrder order);

    std::vector<int> hidden_columns_;
    int sort_column_ = -1;
    Qt::SortOrder sort_order_ = Qt::AscendingOrder;
};

}  // namespace cu::window
