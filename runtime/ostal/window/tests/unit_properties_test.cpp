// Each property, read and written from the GUI thread and from a worker.
#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>

#include "blocks.h"
#include "result_list.h"
#include "window_api.h"
#include "window_fixture.h"

namespace cu::window::test {
namespace {

class UnitProperties : public OpenWindow, public ::testing::WithParamInterface<Caller> {
protected:
    void from_caller(std::function<void()> body) { call_from(GetParam(), std::move(body)); }
};

// A text property read as the program reads it: a fresh block it then frees.
std::string read_text(std::uint32_t unit, std::uint32_t property)
{
    auto* block = reinterpret_cast<char*>(read_unit_property(kWindow, unit, property));
    std::string text = block ? block : "<null>";
    cu::free_block(block);
    return text;
}

std::int32_t read_int(std::uint32_t unit, std::uint32_t property)
{
    return static_cast<std::int32_t>(read_unit_property(kWindow, unit, property));
}

void write_text(std::uint32_t unit, std::uint32_t property, const std::string& gbk_text)
{
    write_unit_property(kWindow, unit, property, reinterpret_cast<std::uint64_t>(gbk_text.c_str()));
}

TEST_P(UnitProperties, LabelTextIsWrittenAndReadBack)
{
    std::string read_back;
    from_caller([&] {
        write_text(kStatusLabel, 8, "\xC9\xD4\xB5\xC8");  // "稍等" in GBK
        read_back = read_text(kStatusLabel, 8);
    });
    EXPECT_EQ(qobject_cast<QLabel*>(unit_widget(kStatusLabel))->text(), QString::fromUtf8("稍等"));
    EXPECT_EQ(read_back, "\xC9\xD4\xB5\xC8");
}

TEST_P(UnitProperties, EditTextIsReadAsAFreshGbkText)
{
    qobject_cast<QLineEdit*>(unit_widget(kKeywordBox))->setText(QString::fromUtf8("电影 2024€"));
    std::string read_back;
    from_caller([&] { read_back = read_text(kKeywordBox, 8); });
    EXPECT_EQ(read_back, gbk("电影 2024€"));
    EXPECT_EQ(read_back.back(), '\x80');  // the euro sign is 0x80 in this code page
}

TEST_P(UnitProperties, ButtonCaptionIsWrittenAndReadBack)
{
    std::string before, after;
    from_caller([&] {
        before = read_text(kButton, 0x0A);
        write_text(kButton, 0x0A, gbk("停止"));
        after = read_text(kButton, 0x0A);
    });
    EXPECT_EQ(before, gbk("搜索"));
    EXPECT_EQ(after, gbk("停止"));
    EXPECT_EQ(qobject_cast<QPushButton*>(unit_widget(kButton))->text(), QString::fromUtf8("停止"));
}

TEST_P(UnitProperties, NullTextWritesTheEmptyText)
{
    from_caller([&] { write_unit_property(kWindow, kStatusLabel, 8, 0); });
    EXPECT_EQ(qobject_cast<QLabel*>(unit_widget(kStatusLabel))->text(), QString());
}

TEST_P(UnitProperties, DisabledStateOfTheInputControls)
{
    const std::uint32_t inputs[] = {kKeywordBox, kCombo, kList};
    from_caller([&] {
        for (std::uint32_t unit : inputs) write_unit_property(kWindow, unit, 6, 1);
    });
    for (std::uint32_t unit : inputs) EXPECT_FALSE(unit_widget(unit)->isEnabled());
    from_caller([&] {
        for (std::uint32_t unit : inputs) write_unit_property(kWindow, unit, 6, 0);
    });
    for (std::uint32_t unit : inputs) EXPECT_TRUE(unit_widget(unit)->isEnabled());
}

TEST_P(UnitProperties, ComboSelectionIndex)
{
    std::int32_t at_start = -2, after = -2;
    from_caller([&] { at_start = read_int(kCombo, 0x13); });
    qobject_cast<QComboBox*>(unit_widget(kCombo))->setCurrentIndex(3);
    from_caller([&] { after = read_int(kCombo, 0x13); });
    EXPECT_EQ(at_start, 0);
    EXPECT_EQ(after, 3);
}

// The selected row reads as the number it was appended under, also when the
// list shows the rows in another order.
TEST_P(UnitProperties, ListSelectedRowIsItsAppendedNumberOrMinusOne)
{
    auto* list = dynamic_cast<ResultList*>(unit_widget(kList));
    for (int i = 0; i < 3; ++i) list->row(list->append_row())->setText(0, QString::number(i + 1));
    std::int32_t none = 0, second = 0, shown_first = 0;
    from_caller([&] { none = read_int(kList, 0x23); });
    list->topLevelItem(1)->setSelected(true);
    from_caller([&] { second = read_int(kList, 0x23); });
    list->sortByColumn(0, Qt::DescendingOrder);
    list->clearSelection();
    list->topLevelItem(0)->setSelected(true);
    from_caller([&] { shown_first = read_int(kList, 0x23); });
    EXPECT_EQ(none, -1);
    EXPECT_EQ(second, 1);
    EXPECT_EQ(shown_first, 2);
}

TEST_P(UnitProperties, MenuItemVisibility)
{
    from_caller([&] {
        write_unit_property(kWindow, kMenuCopy, 3, 0);
        write_unit_property(kWindow, kMenuOpen, 3, 0);
    });
    EXPECT_FALSE(menu_item_action(kMenuCopy)->isVisible());
    EXPECT_FALSE(menu_item_action(kMenuOpen)->isVisible());
    EXPECT_TRUE(menu_item_action(kMenuAbout)->isVisible());
    from_caller([&] { write_unit_property(kWindow, kMenuCopy, 3, 1); });
    EXPECT_TRUE(menu_item_action(kMenuCopy)->isVisible());
}

TEST_P(UnitProperties, UnknownUnitsAndPropertiesReadZeroAndIgnoreWrites)
{
    std::int32_t unknown_unit = -1, wrong_property = -1;
    from_caller([&] {
        unknown_unit = read_int(0x16019999, 6);
        wrong_property = read_int(kButton, 0x23);
        write_unit_property(kWindow, kButton, 0x13, 2);
        write_unit_property(0x52019999, kStatusLabel, 8, reinterpret_cast<std::uint64_t>("x"));
    });
    EXPECT_EQ(unknown_unit, 0);
    EXPECT_EQ(wrong_property, 0);
    EXPECT_EQ(qobject_cast<QLabel*>(unit_widget(kStatusLabel))->text(), QString());
}

INSTANTIATE_TEST_SUITE_P(FromEachThread, UnitProperties, ::testing::Values(Caller::gui_thread, Caller::worker),
                         caller_name);

}  // namespace
}  // namespace cu::window::test
