// The list commands (through the widgx library) and the kernel's window
// commands, from the GUI thread and from a worker.
#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QHeaderView>
#include <QMenu>
#include <QPointer>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <dlfcn.h>

#include <vector>

#include "blocks.h"
#include "kernel_modules.h"
#include "result_list.h"
#include "window_api.h"
#include "window_fixture.h"

namespace cu::window::test {
namespace {

cu_value unit(std::uint32_t id, std::uint32_t type) { return {kWindow, id, type}; }
cu_value integer(std::int32_t v) { return {static_cast<std::uint32_t>(v), 0, CU_TAG_INT}; }
cu_value text(const std::string& gbk_text) { return {reinterpret_cast<std::uint64_t>(gbk_text.c_str()), 0, CU_TAG_TEXT}; }
constexpr cu_value omitted{0, 0, CU_TAG_OMITTED};

cu_command_fn find(std::span<const cu_command> table, std::uint32_t number)
{
    for (const cu_command& c : table)
        if (c.number == number) return c.run;
    return nullptr;
}

// The widgx library as the runtime binds it.
std::span<const cu_command> widgx_commands()
{
    static const cu_library* library = [] {
        void* handle = dlopen(WIDGX_LIBRARY, RTLD_NOW);
        auto describe = handle ? reinterpret_cast<cu_library_descriptor_fn>(dlsym(handle, CU_LIBRARY_EXPORT)) : nullptr;
        return describe ? describe() : nullptr;
    }();
    if (!library) return {};
    return {library->commands, library->command_count};
}

cu_value call(std::span<const cu_command> table, std::uint32_t number, std::vector<cu_value> args)
{
    cu_command_fn run = find(table, number);
    if (!run) {
        ADD_FAILURE() << "no command " << std::hex << number;
        return {};
    }
    return run(static_cast<std::uint32_t>(args.size()), args.data());
}

const cu_value list = unit(kList, CU_LTYPE_LIST);

std::int32_t append_row()
{
    return static_cast<std::int32_t>(
        call(widgx_commands(), 0x100, {list, omitted, omitted, omitted, omitted, omitted, omitted}).value);
}
void set_cell(std::int32_t row, std::int32_t column, const std::string& gbk_text)
{
    call(widgx_commands(), 0xD4, {list, integer(row), integer(column), text(gbk_text)});
}
std::string cell(std::int32_t row, std::int32_t column)
{
    const cu_value r = call(widgx_commands(), 0xC0, {list, integer(row), integer(column)});
    EXPECT_EQ(r.tag, CU_TAG_TEXT);
    auto* block = reinterpret_cast<char*>(r.value);
    std::string s = block ? block : "<null>";
    cu::free_block(block);
    return s;
}
void delete_rows() { call(widgx_commands(), 0x108, {list}); }

QTreeWidget* list_widget() { return qobject_cast<QTreeWidget*>(unit_widget(kList)); }

class WindowCommands : public OpenWindow, public ::testing::WithParamInterface<Caller> {
protected:
    void from_caller(std::function<void()> body) { call_from(GetParam(), std::move(body)); }
};

TEST_P(WindowCommands, RowsAreAppendedFilledReadAndDeleted)
{
    std::vector<std::int32_t> indexes;
    std::vector<std::string> cells;
    from_caller([&] {
        for (int r = 0; r < 3; ++r) {
            const std::int32_t row = append_row();
            indexes.push_back(row);
            for (int c = 0; c < 5; ++c) set_cell(row, c, gbk("行") + std::to_string(r) + "/" + std::to_string(c));
        }
        cells = {cell(2, 1), cell(0, 4), cell(3, 0), cell(0, 5), cell(-1, 0)};
    });
    EXPECT_EQ(indexes, (std::vector<std::int32_t>{0, 1, 2}));
    // The hidden column holds its text like the others; no such cell reads empty.
    EXPECT_EQ(cells, (std::vector<std::string>{gbk("行2/1"), gbk("行0/4"), "", "", ""}));
    ASSERT_EQ(list_widget()->topLevelItemCount(), 3);
    EXPECT_EQ(list_widget()->topLevelItem(1)->text(3), QString::fromUtf8("行1/3"));

    std::int32_t after_delete = -1;
    from_caller([&] {
        delete_rows();
        after_delete = append_row();
    });
    EXPECT_EQ(after_delete, 0);
    EXPECT_EQ(list_widget()->topLevelItemCount(), 1);
}

TEST_P(WindowCommands, AppendCountsRowsTheGuiThreadAddedMeanwhile)
{
    std::int32_t first = -1, second = -1;
    from_caller([&] { first = append_row(); });
    dynamic_cast<ResultList*>(list_widget())->append_row();  // a row from elsewhere between two appends
    from_caller([&] { second = append_row(); });
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 2);
}

// Rows written while the list is sorted land in the rows they were appended
// as: each command speaks appended numbers, the view shows the sort.
TEST_P(WindowCommands, RowsKeepTheirNumbersWhileTheListIsSorted)
{
    QHeaderView* header = list_widget()->header();
    header->setSortIndicator(3, Qt::DescendingOrder);
    const char* const sizes[] = {"1.00 KB", "5.00 GB", "", "999 KB", "0.97 MB"};
    std::vector<std::string> addresses;
    from_caller([&] {
        for (int i = 0; i < 5; ++i) {
            const std::int32_t row = append_row();
            set_cell(row, 0, std::to_string(i + 1));
            set_cell(row, 3, sizes[i]);
            set_cell(row, 4, std::to_string(i + 1) + "|owner");
        }
        for (int r = 0; r < 5; ++r) addresses.push_back(cell(r, 4));
    });
    EXPECT_EQ(addresses, (std::vector<std::string>{"1|owner", "2|owner", "3|owner", "4|owner", "5|owner"}));
    const auto shown_numbers = [] {
        QStringList numbers;
        for (int i = 0; i < list_widget()->topLevelItemCount(); ++i) numbers << list_widget()->topLevelItem(i)->text(0);
        return numbers;
    };
    EXPECT_EQ(shown_numbers(), QStringList({"2", "5", "4", "1", "3"}));

    // The hidden address column never becomes the sort column.
    header->setSortIndicator(4, Qt::AscendingOrder);
    EXPECT_EQ(header->sortIndicatorSection(), 3);
    EXPECT_EQ(header->sortIndicatorOrder(), Qt::DescendingOrder);
    EXPECT_EQ(shown_numbers(), QStringList({"2", "5", "4", "1", "3"}));

    // Emptied, the list is back in the answer's order with no direction shown.
    from_caller([&] {
        delete_rows();
        for (int i = 0; i < 3; ++i) set_cell(append_row(), 0, std::to_string(i + 1));
    });
    EXPECT_EQ(header->sortIndicatorSection(), -1);
    EXPECT_EQ(shown_numbers(), QStringList({"1", "2", "3"}));
}

TEST_P(WindowCommands, ComboItemValues)
{
    std::vector<std::int32_t> values;
    from_caller([&] {
        for (std::int32_t index : {0, 1, 2, 3, 4, -1})
            values.push_back(static_cast<std::int32_t>(
                call(cu::kernel::window_commands(), 0x3B4, {unit(kCombo, CU_LTYPE_COMBO), integer(index)}).value));
    });
    EXPECT_EQ(values, (std::vector<std::int32_t>{0, 1, 2, 3, 0, 0}));
}

TEST_P(WindowCommands, ClipboardHoldsExactlyTheText)
{
    const std::string address = "http://127.0.0.1:8930/s/" + gbk("分享") + "abc";
    from_caller([&] { call(cu::kernel::window_commands(), 0x2C8, {text(address)}); });
    EXPECT_EQ(QApplication::clipboard()->text(), QString::fromUtf8("http://127.0.0.1:8930/s/分享abc"));
}

TEST_P(WindowCommands, MessageBoxShowsTitleTextAndOneOkButton)
{
    QString title, message;
    int buttons = -1;
    QMessageBox::Icon icon = QMessageBox::Warning;
    set_modal_hook([&](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        ASSERT_NE(box, nullptr);
        title = box->windowTitle();
        message = box->text();
        buttons = static_cast<int>(box->buttons().size());
        icon = box->icon();
        QTimer::singleShot(0, box, [box] { box->button(QMessageBox::Ok)->click(); });
    });
    bool returned = false;
    from_caller([&] {
        call(cu::kernel::window_commands(), 0x300, {text(gbk("第一行\r\n第二行")), integer(0), text(gbk("关于")), omitted});
        returned = true;
    });
    EXPECT_TRUE(returned);
    EXPECT_EQ(title, QString::fromUtf8("关于"));
    EXPECT_EQ(message, QString::fromUtf8("第一行\r\n第二行"));
    EXPECT_EQ(buttons, 1);
    EXPECT_EQ(icon, QMessageBox::NoIcon);
}

// A box has no owner and does not block the main window: its button takes a
// click (through the window system, where modality is enforced) while the
// box is open, and the caller still returns only once the box is answered.
TEST_P(WindowCommands, TheMainWindowTakesClicksWhileAMessageBoxIsOpen)
{
    int toggles_while_open = -1;
    bool box_shown_before_answer = false;
    set_modal_hook([&](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        ASSERT_NE(box, nullptr);
        QTimer::singleShot(0, box, [&, box] {
            box_shown_before_answer = box->isVisible();
            QWidget* window = unit_widget(kWindowUnit);
            QWidget* button = unit_widget(kButton);
            QTest::mouseClick(window->windowHandle(), Qt::LeftButton, {},
                              button->mapTo(window, button->rect().center()));
            QApplication::processEvents();
            toggles_while_open = handler_calls[kToggleSearch];
            box->button(QMessageBox::Ok)->click();
        });
    });
    bool returned = false;
    from_caller([&] {
        call(cu::kernel::window_commands(), 0x300, {text(gbk("关键词太短")), integer(0), text(gbk("提示")), omitted});
        returned = true;
    });
    EXPECT_TRUE(returned);
    EXPECT_TRUE(box_shown_before_answer);
    EXPECT_EQ(toggles_while_open, 1);
}

// A handler waiting for its box while the user closes the main window: the
// window (and the menu or button the handler came from) outlives the wait,
// and goes once the handler has returned to the event loop.
TEST_F(OpenWindow, AWindowClosedWhileAHandlerWaitsForItsBoxGoesAfterTheWait)
{
    QPointer<QWidget> window = unit_widget(kWindowUnit);
    bool alive_after_close = false;
    set_modal_hook([&](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        ASSERT_NE(box, nullptr);
        QTimer::singleShot(0, box, [&, box] {
            window->close();
            QApplication::processEvents();
            QApplication::processEvents();
            alive_after_close = !window.isNull() && !window->isVisible();
            box->button(QMessageBox::Ok)->click();
        });
    });
    call(cu::kernel::window_commands(), 0x300, {text("about"), integer(0), text("about"), omitted});
    EXPECT_TRUE(alive_after_close);
    EXPECT_FALSE(window.isNull());
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(window.isNull());
}

// The popup's visible entries, then the first of them chosen by keyboard.
struct PopupCase {
    bool show_row_items;
    std::vector<const char*> shown;
    Handler chosen;
};

TEST_P(WindowCommands, PopupShowsOnlyVisibleItemsAndRunsTheChosenOne)
{
    const PopupCase cases[] = {
        {false, {"关于"}, kShowAbout},
        {true, {"浏览器打开", "复制地址", "关于"}, kOpenShare},
    };
    for (const PopupCase& c : cases) {
        SCOPED_TRACE(c.show_row_items);
        for (auto& calls : handler_calls) calls = 0;
        write_unit_property(kWindow, kMenuCopy, 3, c.show_row_items);
        write_unit_property(kWindow, kMenuOpen, 3, c.show_row_items);
        QStringList shown;
        set_modal_hook([&](QWidget* w) {
            auto* menu = qobject_cast<QMenu*>(w);
            ASSERT_NE(menu, nullptr);
            for (QAction* a : menu->actions())
                if (a->isVisible()) shown << a->text();
            QTimer::singleShot(0, menu, [menu] {
                QTest::keyClick(menu, Qt::Key_Down);
                QTest::keyClick(menu, Qt::Key_Return);
            });
        });
        from_caller([&] {
            call(cu::kernel::window_commands(), 0x394,
                 {unit(kWindowUnit, CU_LTYPE_WINDOW), unit(kMenuRoot, CU_LTYPE_MENU), omitted, omitted});
        });
        QStringList expected;
        for (const char* s : c.shown) expected << QString::fromUtf8(s);
        EXPECT_EQ(shown, expected);
        EXPECT_EQ(handler_calls[c.chosen], 1);
    }
}

TEST_P(WindowCommands, ProcessEventsReturns)
{
    bool returned = false;
    from_caller([&] {
        call(cu::kernel::window_commands(), 0x350, {});
        returned = true;
    });
    EXPECT_TRUE(returned);
}

INSTANTIATE_TEST_SUITE_P(FromEachThread, WindowCommands, ::testing::Values(Caller::gui_thread, Caller::worker),
                         caller_name);

}  // namespace
}  // namespace cu::window::test
