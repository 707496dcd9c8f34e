// The built window against its layout, field by field.
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <cstdio>
#include <set>
#include <tuple>

#include "errors.h"
#include "window_api.h"
#include "window_fixture.h"

namespace cu::window::test {
namespace {

using LayoutWindowTest = OpenWindow;

TEST_F(LayoutWindowTest, WindowHasCaptionOuterGeometryAndNoMenuBar)
{
    auto* window = qobject_cast<QMainWindow*>(unit_widget(kWindowUnit));
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->windowTitle(), QString::fromUtf8("Cumulo资源搜索"));
    EXPECT_EQ(window->frameGeometry(), QRect(50, 50, 380, 215));
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->findChild<QMenuBar*>(), nullptr);
    // Controls are placed in the client area, which here is the whole window.
    EXPECT_EQ(window->centralWidget()->geometry(), QRect(0, 0, window->width(), window->height()));
}

struct ControlCase {
    std::uint32_t unit;
    const char* class_name;
    QRect geometry;
    bool takes_focus;
};

TEST_F(LayoutWindowTest, ControlsStandAtTheirPlacesVisibleAndEnabled)
{
    const ControlCase cases[] = {
        {kStatusLabel, "QLabel", {330, 5, 40, 20}, false},      {kTypeLabel, "QLabel", {165, 5, 55, 20}, false},
        {kCombo, "QComboBox", {225, 5, 60, 20}, true},          {kList, "QTreeWidget", {5, 30, 365, 150}, true},
        {kButton, "QPushButton", {290, 5, 35, 20}, true},       {kKeywordLabel, "QLabel", {5, 5, 65, 20}, false},
        {kKeywordBox, "QLineEdit", {75, 5, 85, 20}, true},
    };
    for (const ControlCase& c : cases) {
        SCOPED_TRACE(QString::number(c.unit, 16).toStdString());
        QWidget* w = unit_widget(c.unit);
        ASSERT_NE(w, nullptr);
        EXPECT_STREQ(w->metaObject()->className(), c.class_name);
        EXPECT_EQ(w->geometry(), c.geometry);
        EXPECT_TRUE(w->isVisible());
        EXPECT_TRUE(w->isEnabled());
        EXPECT_EQ(w->focusPolicy() != Qt::NoFocus, c.takes_focus);
    }
}

TEST_F(LayoutWindowTest, TextsAndColours)
{
    auto* status = qobject_cast<QLabel*>(unit_widget(kStatusLabel));
    auto* type_label = qobject_cast<QLabel*>(unit_widget(kTypeLabel));
    auto* keyword_label = qobject_cast<QLabel*>(unit_widget(kKeywordLabel));
    ASSERT_TRUE(status && type_label && keyword_label);
    EXPECT_EQ(status->text(), QString());
    EXPECT_EQ(status->palette().color(QPalette::WindowText), QColor(255, 0, 0));
    EXPECT_EQ(type_label->text(), QString::fromUtf8("资源类型:"));
    EXPECT_EQ(type_label->palette().color(QPalette::WindowText), QColor(0, 0, 0));
    EXPECT_EQ(keyword_label->text(), QString::fromUtf8("搜索关键词:"));
    EXPECT_EQ(qobject_cast<QPushButton*>(unit_widget(kButton))->text(), QString::fromUtf8("搜索"));
    EXPECT_EQ(qobject_cast<QLineEdit*>(unit_widget(kKeywordBox))->text(), QString());
}

TEST_F(LayoutWindowTest, ListIsAReportViewWithFiveColumnsTheLastZeroWide)
{
    auto* list = qobject_cast<QTreeWidget*>(unit_widget(kList));
    ASSERT_NE(list, nullptr);
    const char* titles[] = {"序号", "资源名称", "资源类型", "资源大小", "资源地址"};
    const int widths[] = {45, 160, 70, 70, 0};
    ASSERT_EQ(list->columnCount(), 5);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(list->headerItem()->text(i), QString::fromUtf8(titles[i]));
        EXPECT_EQ(list->header()->sectionSize(i), widths[i]) << "column " << i;
    }
    EXPECT_FALSE(list->rootIsDecorated());
    EXPECT_EQ(list->topLevelItemCount(), 0);
}

TEST_F(LayoutWindowTest, ComboHoldsFourItemsWithValuesAndTheFirstSelected)
{
    auto* combo = qobject_cast<QComboBox*>(unit_widget(kCombo));
    ASSERT_NE(combo, nullptr);
    const char* items[] = {"默认", "相册", "文件", "文件夹"};
    ASSERT_EQ(combo->count(), 4);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(combo->itemText(i), QString::fromUtf8(items[i]));
        EXPECT_EQ(combo->itemData(i).toInt(), i);
    }
    EXPECT_EQ(combo->currentIndex(), 0);
}

TEST_F(LayoutWindowTest, MenuTreeHasAHiddenRootWithThreeVisibleItems)
{
    QAction* root = menu_item_action(kMenuRoot);
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->text(), QString::fromUtf8("右键"));
    EXPECT_FALSE(root->isVisible());
    ASSERT_NE(root->menu(), nullptr);
    const QList<QAction*> items = root->menu()->actions();
    ASSERT_EQ(items.size(), 3);
    const std::uint32_t ids[] = {kMenuOpen, kMenuCopy, kMenuAbout};
    const char* captions[] = {"浏览器打开", "复制地址", "关于"};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(items[i], menu_item_action(ids[i]));
        EXPECT_EQ(items[i]->text(), QString::fromUtf8(captions[i]));
        EXPECT_TRUE(items[i]->isVisible());
    }
}

// Which routine each binding of the image's layout names, by the map file.
TEST(ProgramLayout, BindsTheProgramsHandlersAndNothingElse)
{
    const std::map<std::uint32_t, std::string> routines = program_routines();
    auto name = [&](std::uint32_t offset) {
        auto it = routines.find(offset);
        return it == routines.end() ? std::string("?") : it->second;
    };
    std::set<std::tuple<std::uint32_t, std::int64_t, std::string>> bindings;  // unit, event (-1: chosen), routine
    const image::Form form = program_form();
    for (const image::Unit& unit : form.windows.at(0).units) {
        for (const image::EventBinding& b : unit.events) bindings.emplace(unit.id, b.event, name(b.handler));
        if (unit.menu_handler != image::kNoHandler)
            bindings.emplace(unit.id, -1, name(static_cast<std::uint32_t>(unit.menu_handler)));
    }
    const std::set<std::tuple<std::uint32_t, std::int64_t, std::string>> expected = {
        {kButton, 0, "ToggleSearch"},         {kList, 5, "ShowListMenu"},
        {kMenuOpen, -1, "OpenShareAddress"},  {kMenuCopy, -1, "CopyShareAddress"},
        {kMenuAbout, -1, "ShowAbout"},
    };
    EXPECT_EQ(bindings, expected);
}

TEST_F(LayoutWindowTest, BoundEventsRunTheirHandlers)
{
    QTest::mouseClick(unit_widget(kButton), Qt::LeftButton);
    EXPECT_EQ(handler_calls[kToggleSearch], 1);

    auto* list = qobject_cast<QTreeWidget*>(unit_widget(kList));
    emit list->customContextMenuRequested(QPoint(10, 10));
    EXPECT_EQ(handler_calls[kShowListMenu], 1);

    menu_item_action(kMenuOpen)->trigger();
    menu_item_action(kMenuCopy)->trigger();
    menu_item_action(kMenuAbout)->trigger();
    EXPECT_EQ(handler_calls[kOpenShare], 1);
    EXPECT_EQ(handler_calls[kCopyShare], 1);
    EXPECT_EQ(handler_calls[kShowAbout], 1);
}

TEST_F(LayoutWindowTest, EnterInTheKeywordBoxStartsNothing)
{
    QWidget* box = unit_widget(kKeywordBox);
    box->setFocus();
    QTest::keyClicks(box, "abc");
    QTest::keyClick(box, Qt::Key_Return);
    QTest::keyClick(box, Qt::Key_Enter);
    EXPECT_EQ(handler_calls[kToggleSearch], 0);
    EXPECT_EQ(qobject_cast<QLineEdit*>(box)->text(), QString("abc"));
}

// A layout the window cannot be built from ends the program with a message
// (status 3), and so does a window the layout does not hold.
using WindowLayoutDeathTest = OpenWindow;

TEST_F(WindowLayoutDeathTest, DamagedLayoutOrMissingWindowEndTheProgramWithAMessage)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The window is up, so the message shows in a dialog too: closed at once.
    set_modal_hook([](QWidget* w) { QTimer::singleShot(0, w, &QWidget::close); });
    std::vector<std::uint8_t> damaged = image::write_form(program_form());
    damaged.resize(damaged.size() / 2);
    EXPECT_EXIT(set_layout(damaged, test_code_base()), ::testing::ExitedWithCode(3),
                "cumulo-search: the window layout cannot be read: ");
    EXPECT_EXIT(open_start_window(0x52019999), ::testing::ExitedWithCode(3),
                "cumulo-search: the window layout holds no window 0x52019999");
}

TEST_F(LayoutWindowTest, FatalErrorsAreShownInADialogWhileTheWindowIsUp)
{
    // The dialog runs in the child process: the hook reports what it showed on stderr.
    set_modal_hook([](QWidget* w) {
        if (auto* box = qobject_cast<QMessageBox*>(w))
            std::fprintf(stderr, "dialog [%s] [%s]\n", box->windowTitle().toUtf8().constData(),
                         box->text().toUtf8().constData());
        QTimer::singleShot(0, w, &QWidget::close);
    });
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(cu::fatal("runtime error 5: a value used as text is not a text"), ::testing::ExitedWithCode(3),
                "dialog \\[Error\\] \\[runtime error 5: a value used as text is not a text\\]");
}

}  // namespace
}  // namespace cu::window::test
