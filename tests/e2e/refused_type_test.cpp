// End to end with a combo item carrying the type value 4, which no type word
// belongs to: the search is refused with its message and asks nothing.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>

#include "answers.h"
#include "e2e_env.h"
#include "program_window.h"

namespace e2e {
namespace {

constexpr int kItemWithValue4 = 3;

const QString kIdle = QString::fromUtf8("搜索");

// Runs a search with `keyword` and the value-4 item over a list of 3 rows;
// returns the message boxes it showed.
std::vector<Modal> refused_search(const char* keyword)
{
    service->set_answer(make_answer(3).body);
    keyword_box()->setText("abc");
    type_combo()->setCurrentIndex(0);
    search_button()->click();
    EXPECT_TRUE(pump_until([] { return search_button()->text() == kIdle; }));
    EXPECT_EQ(result_list()->topLevelItemCount(), 3);
    take_modals();

    const std::size_t requests_before = service->requests().size();
    keyword_box()->setText(QString::fromUtf8(keyword));
    type_combo()->setCurrentIndex(kItemWithValue4);
    search_button()->click();
    EXPECT_TRUE(pump_until([] { return search_button()->text() == kIdle; }));

    EXPECT_EQ(service->requests().size(), requests_before) << "a refused search asks nothing";
    EXPECT_EQ(result_list()->topLevelItemCount(), 0);
    EXPECT_EQ(status_label()->text(), QString());
    EXPECT_TRUE(keyword_box()->isEnabled() && type_combo()->isEnabled() && result_list()->isEnabled());
    return take_modals();
}

TEST(RefusedType, ATypeValueWithoutAWordIsRefused)
{
    const auto modals = refused_search("abc");
    ASSERT_EQ(modals.size(), 1u);
    EXPECT_EQ(modals[0].title, QString::fromUtf8("友情提示"));
    EXPECT_EQ(modals[0].text, QString::fromUtf8("选择的资源类型无效,请联系程序开发者!"));
    EXPECT_EQ(modals[0].rows_when_shown, 0);
}

TEST(RefusedType, AShortKeywordIsReportedFirstAndAlone)
{
    const auto modals = refused_search("ab");
    ASSERT_EQ(modals.size(), 1u);
    EXPECT_EQ(modals[0].title, QString::fromUtf8("友情提示"));
    EXPECT_TRUE(modals[0].text.contains("3"));
    EXPECT_FALSE(modals[0].text.contains(QString::fromUtf8("资源类型")));
}

}  // namespace
}  // namespace e2e
