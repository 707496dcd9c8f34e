// End to end: sorting the result list by its column titles during and after
// a search, and the commands that read rows of a sorted list.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>

#include <fstream>
#include <sstream>

#include "answers.h"
#include "e2e_env.h"
#include "program_window.h"
#include "row_order.h"

using namespace std::chrono_literals;

namespace e2e {
namespace {

const QString kIdle = QString::fromUtf8("搜索");
const QString kCopy = QString::fromUtf8("复制地址");
const QString kOpen = QString::fromUtf8("浏览器打开");
const QString kAbout = QString::fromUtf8("关于");
constexpr int kNumber = 0, kName = 1, kType = 2, kSize = 3;

struct Share {
    const char* name;  // as the service sends it (Chinese as \u escapes)
    const char* type;
    const char* size;  // digits
    const char* id_auk;
    std::vector<QString> shown;  // the row's five cells
};

// Names with Chinese, Latin and digit runs; sizes in bytes, KB, MB, GB, past
// 4 GiB and empty, two that show the same text, and "999 KB" / "0.97 MB",
// whose numbers read the wrong way round.
const std::vector<Share> kShares = {
    {"\\u7b2c10\\u96c6", "file", "1024", "101|9001", {"1", "第10集", "文件", "1.00 KB", "101|9001"}},
    {"zeta", "folder", "5368709120", "abc|9002", {"2", "zeta", "文件夹", "5.00 GB", "abc|9002"}},
    {"\\u963f\\u51e1\\u8fbe", "album", "0", "103|9003", {"3", "阿凡达", "相册", "", "103|9003"}},
    {"\\u7b2c2\\u96c6", "video", "1024000", "104|9004", {"4", "第2集", "video", "0.97 MB", "104|9004"}},
    {"Alpha", "file", "1023999", "105|9005", {"5", "Alpha", "文件", "999 KB", "105|9005"}},
    {"\\u6587\\u6863", "folder", "1023", "106|9006", {"6", "文档", "文件夹", "1023 bytes", "106|9006"}},
    {"\\u5c0f\\u6587\\u4ef6", "file", "1099511627776", "107|9007", {"7", "小文件", "文件", "1.00 TB", "107|9007"}},
    {"\\u5927\\u6587\\u4ef6", "album", "4294967295", "108|9008", {"8", "大文件", "相册", "3.99 GB", "108|9008"}},
    {"beta", "video", "1030", "109|9009", {"9", "beta", "video", "1.00 KB", "109|9009"}},
    {"\\u4e2d", "file", "", "110|9010", {"10", "中", "文件", "", "110|9010"}},
    {"\\u5f71\\u7247", "folder", "532", "111|9011", {"11", "影片", "文件夹", "532 bytes", "111|9011"}},
};

std::string shares_answer()
{
    std::string body = "{\"list\":[";
    for (const Share& s : kShares) {
        if (&s != &kShares.front()) body += ",";
        body += std::string("{\"name\":\"") + s.name + "\",\"type\":\"" + s.type + "\",\"size\":\"" + s.size +
                "\",\"idAuk\":\"" + s.id_auk + "\"}";
    }
    return body + "]}";
}

// The rows of kShares by their numbers (counted from 1), utf-8 cells as QStrings.
std::vector<std::vector<QString>> shares_in_order(const std::vector<int>& numbers)
{
    std::vector<std::vector<QString>> rows;
    for (int n : numbers) {
        std::vector<QString> cells;
        for (const QString& cell : kShares[static_cast<std::size_t>(n - 1)].shown) cells.push_back(cell);
        rows.push_back(cells);
    }
    return rows;
}

std::vector<int> reversed(std::vector<int> v) { return {v.rbegin(), v.rend()}; }

std::vector<int> answer_order(int count)
{
    std::vector<int> numbers;
    for (int n = 1; n <= count; ++n) numbers.push_back(n);
    return numbers;
}

struct Indicator {
    int column;
    Qt::SortOrder order;
    bool operator==(const Indicator&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Indicator& i) { return out << i.column << "/" << i.order; }

Indicator indicator()
{
    const QHeaderView* header = result_list()->header();
    return {header->sortIndicatorSection(), header->sortIndicatorOrder()};
}

std::string share_address(const char* id_auk)
{
    const std::string cell = id_auk;
    const std::string id = cell.substr(0, cell.find('|'));
    const std::string owner = cell.substr(cell.find('|') + 1);
    if (id.find_first_not_of("0123456789") == std::string::npos)
        return "http://" E2E_DRIVE_HOST "/share/link?uk=" + owner + "&shareid=" + id;
    return "http://" E2E_DRIVE_HOST "/s/" + id;
}

class Sorting : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(pump_until([] { return search_button()->text() == kIdle; })) << "a search is still running";
        service->set_stalled(false);
        take_modals();
    }

    static void start(const std::string& answer)
    {
        service->set_answer(answer);
        keyword_box()->setText("abc");
        search_button()->click();
    }

    static void search(const std::string& answer)
    {
        start(answer);
        ASSERT_TRUE(pump_until([] { return search_button()->text() == kIdle; }));
    }
};

TEST_F(Sorting, EachColumnSortsBothWaysAndTheNumberColumnGivesBackTheAnswer)
{
    search(shares_answer());
    EXPECT_EQ(indicator().column, -1) << "a new answer shows no sort";
    EXPECT_EQ(shown_rows(), shares_in_order(answer_order(11)));

    struct Case {
        int column;
        std::vector<int> ascending;  // the numbers of the rows, top to bottom
    };
    const Case cases[] = {
        // empty first; equal texts in the answer's order; then by bytes
        {kSize, {3, 10, 11, 6, 1, 9, 5, 4, 8, 2, 7}},
        // Han by pinyin (a, da, di, wen, xiao, ying, zhong; 2 before 10), then Latin
        {kName, {3, 8, 4, 1, 6, 7, 11, 10, 5, 9, 2}},
        {kType, {1, 5, 7, 10, 2, 6, 11, 3, 8, 4, 9}},
        {kNumber, answer_order(11)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.column);
        click_column_title(c.column);
        EXPECT_EQ(indicator(), (Indicator{c.column, Qt::AscendingOrder}));
        EXPECT_EQ(shown_rows(), shares_in_order(c.ascending));
        click_column_title(c.column);
        EXPECT_EQ(indicator(), (Indicator{c.column, Qt::DescendingOrder}));
        EXPECT_EQ(shown_rows(), shares_in_order(reversed(c.ascending)));
    }
    // Back to the answer's order: the number column counts down the list again.
    click_column_title(kNumber);
    EXPECT_EQ(shown_rows(), shares_in_order(answer_order(11)));

    // Titles and widths as laid out; the address column still hidden.
    const QTreeWidget* list = result_list();
    QStringList titles;
    QList<int> widths;
    for (int c = 0; c < list->columnCount(); ++c) {
        titles << list->headerItem()->text(c);
        widths << list->columnWidth(c);
    }
    EXPECT_EQ(titles, QString::fromUtf8("序号,资源名称,资源类型,资源大小,资源地址").split(','));
    EXPECT_EQ(widths, QList<int>({45, 160, 70, 70, 0}));
}

// The popup's commands act on the row the user right-clicked, wherever the
// sort has put it.
TEST_F(Sorting, CopyAndOpenAddressesOfSortedRows)
{
    search(shares_answer());
    click_column_title(kSize);
    click_column_title(kSize);  // largest first
    for (int position : {0, 1, 4, 10}) {
        SCOPED_TRACE(position);
        const QString number = result_list()->topLevelItem(position)->text(kNumber);
        const Share& share = kShares[static_cast<std::size_t>(number.toInt() - 1)];
        QApplication::clipboard()->setText("before");
        choose_in_next_popup(kCopy);
        right_click_shown_row(position);
        const auto modals = take_modals();
        ASSERT_EQ(modals.size(), 1u);
        EXPECT_EQ(modals[0].visible_items, QStringList({kOpen, kCopy, kAbout}));
        EXPECT_EQ(QApplication::clipboard()->text().toStdString(), share_address(share.id_auk));

        std::filesystem::remove(browser_record);
        choose_in_next_popup(kOpen);
        right_click_shown_row(position);
        ASSERT_TRUE(pump_until([] { return std::filesystem::exists(browser_record); }, 5s));
        std::stringstream given;
        given << std::ifstream(browser_record).rdbuf();
        EXPECT_EQ(given.str(), share_address(share.id_auk));
        take_modals();
    }
}

// The list is disabled while a search runs, so its titles take no click; a
// sort made all the same (here the view's own), after the search cleared the
// list and before its rows come, keeps every cell in its share's row and
// sorts the rows as they arrive.
TEST_F(Sorting, RowsWrittenWhileSortedStayWholeAndInOrder)
{
    search(shares_answer());
    const Answer answer = make_answer(300);
    service->set_stalled(true);
    const std::size_t requests_before = service->requests().size();
    start(answer.body);
    // The list is cleared before the request goes out.
    ASSERT_TRUE(pump_until([&] { return service->requests().size() > requests_before; }));
    ASSERT_EQ(result_list()->topLevelItemCount(), 0);
    click_column_title(kSize);
    EXPECT_EQ(indicator().column, -1) << "a disabled list took a click";
    result_list()->sortByColumn(kSize, Qt::DescendingOrder);
    service->set_stalled(false);
    ASSERT_TRUE(pump_until([] { return search_button()->text() == kIdle; }, 30s));
    EXPECT_EQ(indicator(), (Indicator{kSize, Qt::DescendingOrder}));

    const auto rows = shown_rows();
    ASSERT_EQ(rows.size(), answer.rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const ExpectedRow& want = answer.rows[static_cast<std::size_t>(rows[i][kNumber].toInt() - 1)];
        ASSERT_EQ(rows[i], (std::vector<QString>{QString::fromStdString(want.number), QString::fromUtf8(want.name),
                                                 QString::fromUtf8(want.type), QString::fromUtf8(want.size),
                                                 QString::fromUtf8(want.address)}))
            << "shown row " << i;
        if (i == 0) continue;
        const int order = cu::window::compare_cell_texts(rows[i - 1][kSize], rows[i][kSize]);
        ASSERT_TRUE(order > 0 || (order == 0 && rows[i - 1][kNumber].toInt() > rows[i][kNumber].toInt()))
            << "shown rows " << i - 1 << " and " << i << " out of order";
    }

    choose_in_next_popup(kCopy);
    right_click_shown_row(0);
    const ExpectedRow& first = answer.rows[static_cast<std::size_t>(rows[0][kNumber].toInt() - 1)];
    EXPECT_EQ(QApplication::clipboard()->text().toStdString(), share_address(first.address.c_str()));
}

TEST_F(Sorting, StopAndNewSearchWhileSorted)
{
    search(shares_answer());
    click_column_title(kSize);
    const auto sorted = shown_rows();

    // Stopped before the worker cleared the list: the sorted rows stay.
    start(make_answer(200).body);
    search_button()->click();
    pump_for(300ms);
    EXPECT_EQ(shown_rows(), sorted);
    EXPECT_EQ(indicator(), (Indicator{kSize, Qt::AscendingOrder}));

    // Stopped while rows arrive: the new answer's rows, in its order.
    start(make_answer(5000).body);
    ASSERT_TRUE(pump_until([] { return result_list()->topLevelItemCount() >= 20; }, 30s));
    search_button()->click();
    pump_for(300ms);
    const auto partial = shown_rows();
    EXPECT_EQ(indicator().column, -1);
    ASSERT_FALSE(partial.empty());
    // The last row may have been appended just before the stop, its cells not yet written.
    for (std::size_t i = 0; i + 1 < partial.size(); ++i) EXPECT_EQ(partial[i][kNumber], QString::number(i + 1));
    EXPECT_TRUE(partial.back()[kNumber].isEmpty() || partial.back()[kNumber] == QString::number(partial.size()));

    // Sorted again, then a whole new search: the answer's order, no indicator.
    click_column_title(kName);
    const Answer answer = make_answer(200);
    search(answer.body);
    EXPECT_EQ(indicator().column, -1);
    const auto rows = shown_rows();
    ASSERT_EQ(rows.size(), 200u);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i][kNumber].toStdString(), answer.rows[i].number);
        EXPECT_EQ(rows[i][4].toStdString(), answer.rows[i].address);
    }
    EXPECT_EQ(result_list()->columnWidth(4), 0);
}

// Screen readers see the header's titles, then each shown row's cells, row by
// row in the order the list shows them.
TEST_F(Sorting, AccessibleHeaderAndCellsFollowTheSort)
{
    search(shares_answer());
    click_column_title(kSize);
    click_column_title(kSize);
    pump_for(50ms);  // the view lays its rows out again
    QAccessibleInterface* list = QAccessible::queryAccessibleInterface(result_list());
    ASSERT_NE(list, nullptr);
    ASSERT_NE(list->tableInterface(), nullptr);
    EXPECT_EQ(list->tableInterface()->columnCount(), 5);
    EXPECT_EQ(list->tableInterface()->rowCount(), 11);
    const auto accessible = [&](int child, QAccessible::Role role) {
        QAccessibleInterface* cell = list->child(child);
        if (!cell) return QString("<none>");
        EXPECT_EQ(cell->role(), role) << child;
        return cell->text(QAccessible::Name);
    };
    QStringList titles;
    for (int c = 0; c < 5; ++c) titles << accessible(c, QAccessible::ColumnHeader);
    EXPECT_EQ(titles, QString::fromUtf8("序号,资源名称,资源类型,资源大小,资源地址").split(','));
    const auto rows = shown_rows();
    for (std::size_t r = 0; r < rows.size(); ++r) {
        std::vector<QString> cells;
        for (int c = 0; c < 5; ++c) cells.push_back(accessible(static_cast<int>(r + 1) * 5 + c, QAccessible::TreeItem));
        EXPECT_EQ(cells, rows[r]) << "shown row " << r;
    }
}

}  // namespace
}  // namespace e2e
