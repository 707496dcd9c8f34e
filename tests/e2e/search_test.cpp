// End to end: a click on the Search button, the worker, the request to the
// (fixture) service, the answer, the rows, the stop, and the list commands.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>

#include <malloc.h>
#include <pthread.h>

#include <fstream>
#include <sstream>

#include "answers.h"
#include "e2e_env.h"
#include "program_window.h"
#include "worker.h"

using namespace std::chrono_literals;

namespace e2e {
namespace {

const QString kIdle = QString::fromUtf8("搜索");
const QString kRunning = QString::fromUtf8("停止");
const QString kDone = QString::fromUtf8("完成");
const QString kStopped = QString::fromUtf8("终止");
const QString kNotice = QString::fromUtf8("友情提示");
const std::string kQueryTail = "&limit=200&sort=size&desc=f&start=0&in=";

void expect_idle(const QString& status)
{
    const IdleState state = idle_state();
    EXPECT_EQ(state.caption, kIdle);
    EXPECT_EQ(state.status, status);
    EXPECT_TRUE(state.inputs_enabled);
}

class Search : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(pump_until([] { return search_button()->text() == kIdle; })) << "a search is still running";
        service->set_stalled(false);
        take_modals();
    }

    // Types the keyword, picks the type and clicks Search.
    static void start(const QString& keyword, int type_index = 0)
    {
        keyword_box()->setText(keyword);
        type_combo()->setCurrentIndex(type_index);
        search_button()->click();
    }

    // A search that runs to its end; false when it did not end in time.
    static bool search(const QString& keyword, int type_index = 0)
    {
        start(keyword, type_index);
        return pump_until([] { return search_button()->text() == kIdle; });
    }

    // Fills the list with `answer` (rows for the popup and address cases).
    static void fill_list(const Answer& answer)
    {
        service->set_answer(answer.body);
        ASSERT_TRUE(search("abc"));
        ASSERT_EQ(result_list()->topLevelItemCount(), static_cast<int>(answer.rows.size()));
    }
};

TEST_F(Search, TwoHundredElementsGiveTwoHundredRowsInOrder)
{
    const Answer answer = make_answer(200);
    service->set_answer(answer.body);
    ASSERT_TRUE(search("abc"));

    expect_idle(kDone);
    const auto rows = shown_rows();
    ASSERT_EQ(rows.size(), 200u);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const ExpectedRow& want = answer.rows[i];
        SCOPED_TRACE("row " + std::to_string(i));
        EXPECT_EQ(rows[i][0], QString::fromStdString(want.number));
        EXPECT_EQ(rows[i][1], QString::fromUtf8(want.name));
        EXPECT_EQ(rows[i][2], QString::fromUtf8(want.type));
        EXPECT_EQ(rows[i][3], QString::fromUtf8(want.size));
        EXPECT_EQ(rows[i][4], QString::fromUtf8(want.address));
    }
    // The address column is there in every row but not shown.
    EXPECT_EQ(result_list()->columnWidth(4), 0);
}

// Members that are missing or not strings show as text, and never stop the
// program: a numeric size is formatted like its digits, a missing one leaves
// the cell empty.
TEST_F(Search, MembersThatAreMissingOrNotStringsStillGiveRows)
{
    service->set_answer("{\"list\":[{\"name\":\"n\",\"type\":\"file\",\"size\":5368709120,\"idAuk\":\"1|2\"},"
                        "{\"name\":\"m\"},{}]}");
    ASSERT_TRUE(search("abc"));
    expect_idle(kDone);
    const auto rows = shown_rows();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0], (std::vector<QString>{"1", "n", QString::fromUtf8("文件"), "5.00 GB", "1|2"}));
    EXPECT_EQ(rows[1], (std::vector<QString>{"2", "m", "", "", ""}));
    EXPECT_EQ(rows[2], (std::vector<QString>{"3", "", "", "", ""}));
}

// Names whose GBK form has trail bytes equal to ASCII punctuation or letters
// (0x5C above all: 運 is DF 5C) show exactly as decoded, and the elements
// around them keep their rows. The answer goes through both decoders: the
// script engine, and the built-in one that runs when a line feed in the
// answer leaves the engine with nothing.
TEST_F(Search, NamesWhoseTrailBytesLookLikeAsciiShowAsDecoded)
{
    struct Case {
        const char* escaped;  // the name as the service sends it
        const char* shown;
    };
    const Case cases[] = {
        {R"(\u904b\u52d5\u6703 \u9326\u6a19.mp4)", "運動會 錦標.mp4"},  // DF 5C, E5 5C
        {R"(\u4e57)", "乗"},                                             // 81 5C: the lowest lead byte
        {R"(\u9f56)", "齖"},                                             // FD 5C
        {R"(\u8aa0\u8b00\u79b1\u6dfa\u8846\u9ed2)", "誠謀禱淺衆黒"},     // D5 D6 B6 9C D0 FC, each before 5C
        {R"(\u904b\\\u904b\")", "運\\運\""},  // escaped backslash and quote right after 運
        {R"(\u4e85|\u4e02@)", "亅|丂@"},      // trail bytes '|' and '@'
        {R"(\u4e6bile \u4e7d)", "乫ile 乽"},  // trail 'f' before "ile" is no type word; trail 'u'
        {R"(\u4e55\u4e84\u4e63)", "乕亄乣"},  // trail bytes '[', '{', '`'
    };
    for (const char* separator : {",", ",\n"}) {
        SCOPED_TRACE(separator[1] ? "built-in decoder" : "script engine");
        std::string body = "{\"list\":[";
        for (const Case& c : cases)
            body += std::string("{\"name\":\"") + c.escaped + "\",\"type\":\"file\",\"idAuk\":\"1|2\"}" + separator;
        body += "{\"name\":\"last\",\"type\":\"folder\"}]}";
        service->set_answer(body);
        ASSERT_TRUE(search("abc"));
        expect_idle(kDone);

        const auto rows = shown_rows();
        ASSERT_EQ(rows.size(), std::size(cases) + 1);
        for (std::size_t i = 0; i < std::size(cases); ++i) {
            SCOPED_TRACE(cases[i].shown);
            EXPECT_EQ(rows[i][1], QString::fromUtf8(cases[i].shown));
            EXPECT_EQ(rows[i][2], QString::fromUtf8("文件"));
            EXPECT_EQ(rows[i][4], "1|2");
        }
        EXPECT_EQ(rows.back()[1], "last");
        EXPECT_EQ(rows.back()[2], QString::fromUtf8("文件夹"));
    }
}

TEST_F(Search, QueryAddressCarriesTheEncodedKeywordAndTheTypeWord)
{
    struct Case {
        const char* keyword;
        int type_index;
        std::string target;
    };
    const Case cases[] = {
        {"abc", 0, "/api/v1/?key=abc" + kQueryTail},
        {"abc", 1, "/api/v1/?key=abc" + kQueryTail + "album"},
        {"abc", 2, "/api/v1/?key=abc" + kQueryTail + "file"},
        {"a b", 3, "/api/v1/?key=a%20b" + kQueryTail + "folder"},
        {"中", 3, "/api/v1/?key=%E4%B8%AD" + kQueryTail + "folder"},  // one Chinese character passes
        {" ", 0, "/api/v1/?key=%20" + kQueryTail},                     // one escaped byte passes
    };
    service->set_answer("{\"list\":[]}");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.keyword);
        const std::size_t before = service->requests().size();
        ASSERT_TRUE(search(QString::fromUtf8(c.keyword), c.type_index));
        const auto requests = service->requests();
        ASSERT_EQ(requests.size(), before + 1);
        EXPECT_EQ(requests.back(), c.target);
        expect_idle(kDone);
    }
}

TEST_F(Search, AnswersWithoutAListGiveNoRowsAndFinish)
{
    const char* answers[] = {"", "not json at all", "{\"other\":[1,2]}", "{\"list\":[]}", "{\"list\":{\"a\":1}}",
                             "[1,2,3]"};
    for (const char* body : answers) {
        SCOPED_TRACE(body);
        fill_list(make_answer(3));  // rows of an earlier search, which the next one clears
        service->set_answer(body);
        ASSERT_TRUE(search("abc"));
        EXPECT_EQ(result_list()->topLevelItemCount(), 0);
        expect_idle(kDone);
        EXPECT_TRUE(take_modals().empty()) << "no message for an unreadable answer";
    }
}

TEST_F(Search, ShortKeywordIsRefusedAfterTheListWasEmptied)
{
    for (const char* keyword : {"", "ab"}) {
        SCOPED_TRACE(keyword);
        fill_list(make_answer(3));
        const std::size_t requests_before = service->requests().size();
        ASSERT_TRUE(search(QString::fromUtf8(keyword)));

        const auto modals = take_modals();
        ASSERT_EQ(modals.size(), 1u);
        EXPECT_EQ(modals[0].title, kNotice);
        EXPECT_TRUE(modals[0].text.contains("3")) << modals[0].text.toStdString();
        EXPECT_EQ(modals[0].rows_when_shown, 0);
        EXPECT_EQ(result_list()->topLevelItemCount(), 0);
        EXPECT_EQ(service->requests().size(), requests_before) << "a refused search asks nothing";
        expect_idle(QString());  // the refusal leaves the status empty
    }
    // A corrected keyword searches at once.
    service->set_answer(make_answer(2).body);
    ASSERT_TRUE(search("abc"));
    EXPECT_EQ(result_list()->topLevelItemCount(), 2);
    expect_idle(kDone);
}

TEST_F(Search, InputsAreDisabledWhileASearchRuns)
{
    service->set_answer(make_answer(1).body);
    service->set_stalled(true);
    start("abc");
    EXPECT_EQ(search_button()->text(), kRunning);
    EXPECT_EQ(status_label()->text(), QString::fromUtf8("稍等"));
    EXPECT_FALSE(keyword_box()->isEnabled());
    EXPECT_FALSE(type_combo()->isEnabled());
    EXPECT_FALSE(result_list()->isEnabled());
    right_click_list();
    EXPECT_TRUE(take_modals().empty()) << "a popup while the search runs";
    service->set_stalled(false);
    ASSERT_TRUE(pump_until([] { return search_button()->text() == kIdle; }));
    expect_idle(kDone);
}

// The system refuses the worker's thread: the process's default thread stack
// is made larger than the address space while the click runs, so the thread
// creation really fails. The window stays running (nothing is asked, nothing
// crashes), the next click ends it with "终止", and searches work again.
TEST_F(Search, AWorkerThatCannotStartLeavesTheWindowRunningUntilTheNextClick)
{
    service->set_answer(make_answer(2).body);
    keyword_box()->setText("abc");
    const std::size_t requests_before = service->requests().size();
    // An earlier test's stopped worker may still be winding down: counting it here and not after
    // it ends would read as a change this test made.
    ASSERT_TRUE(pump_until([] { return cu::census().workers == 0; }, 5s)) << "an earlier worker never ended";
    const std::size_t workers_before = cu::census().workers;

    pthread_attr_t usual;
    ASSERT_EQ(pthread_getattr_default_np(&usual), 0);
    std::size_t usual_stack = 0;
    pthread_attr_getstacksize(&usual, &usual_stack);
    pthread_attr_destroy(&usual);
    pthread_attr_t impossible;
    pthread_attr_init(&impossible);
    ASSERT_EQ(pthread_attr_setstacksize(&impossible, std::size_t{1} << 47), 0);
    ASSERT_EQ(pthread_setattr_default_np(&impossible), 0);
    search_button()->click();
    pthread_attr_t restored;
    pthread_attr_init(&restored);
    pthread_attr_setstacksize(&restored, usual_stack);
    ASSERT_EQ(pthread_setattr_default_np(&restored), 0);
    pthread_attr_destroy(&restored);
    pthread_attr_destroy(&impossible);

    pump_for(300ms);
    EXPECT_EQ(search_button()->text(), kRunning);
    EXPECT_EQ(status_label()->text(), QString::fromUtf8("稍等"));
    EXPECT_FALSE(keyword_box()->isEnabled());
    EXPECT_EQ(service->requests().size(), requests_before);
    EXPECT_EQ(cu::census().workers, workers_before) << "the refused worker is not kept";

    search_button()->click();
    expect_idle(kStopped);
    ASSERT_TRUE(search("abc"));
    EXPECT_EQ(result_list()->topLevelItemCount(), 2);
    expect_idle(kDone);
}

TEST_F(Search, EnterInTheKeywordBoxStartsNothing)
{
    keyword_box()->setText("abc");
    const std::size_t requests_before = service->requests().size();
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, "\r");
    QKeyEvent release(QEvent::KeyRelease, Qt::Key_Return, Qt::NoModifier, "\r");
    QApplication::sendEvent(keyword_box(), &press);
    QApplication::sendEvent(keyword_box(), &release);
    pump_for(100ms);
    EXPECT_EQ(search_button()->text(), kIdle);
    EXPECT_EQ(service->requests().size(), requests_before);
}

TEST_F(Search, StartAndStopInQuickSuccession)
{
    fill_list(make_answer(5));
    const auto previous_rows = shown_rows();
    service->set_answer(make_answer(200).body);
    start("abc");
    search_button()->click();  // the stop, before the window has handled anything the worker asked
    expect_idle(kStopped);
    const auto after_stop = shown_rows();
    EXPECT_EQ(after_stop, previous_rows) << "a stop before the list was cleared keeps the previous rows";
    pump_for(300ms);
    EXPECT_EQ(shown_rows(), after_stop) << "the stopped worker wrote into the list";
    expect_idle(kStopped);

    // A new search starts at once.
    ASSERT_TRUE(search("abc"));
    EXPECT_EQ(result_list()->topLevelItemCount(), 200);
    expect_idle(kDone);
}

TEST_F(Search, StopDuringAStalledFetchAbandonsIt)
{
    service->set_answer(make_answer(4).body);
    service->set_stalled(true);
    const std::size_t before = service->requests().size();
    const int abandoned_before = service->abandoned_stalled();
    start("abc");
    ASSERT_TRUE(pump_until([&] { return service->requests().size() > before; }));
    pump_for(50ms);
    EXPECT_EQ(search_button()->text(), kRunning);

    const std::int32_t stopped = worker_handle();
    search_button()->click();
    expect_idle(kStopped);
    EXPECT_TRUE(pump_until([&] { return !cu::worker_known(static_cast<std::uint32_t>(stopped)); }, 2s))
        << "the stopped worker was not reclaimed";
    EXPECT_TRUE(pump_until([&] { return service->abandoned_stalled() > abandoned_before; }, 2s))
        << "the stalled request was not given up";
    pump_for(200ms);
    expect_idle(kStopped);
    EXPECT_EQ(result_list()->topLevelItemCount(), 0);

    service->set_stalled(false);
    ASSERT_TRUE(search("abc"));
    EXPECT_EQ(result_list()->topLevelItemCount(), 4);
    expect_idle(kDone);
}

TEST_F(Search, StopWhileRowsAreWrittenKeepsThemAndWritesNoMore)
{
    // A long answer, so that the stop lands while rows are still coming.
    service->set_answer(make_answer(5000).body);
    start("abc");
    ASSERT_TRUE(pump_until([] { return result_list()->topLevelItemCount() >= 20; }, 30s));
    const std::int32_t stopped = worker_handle();
    search_button()->click();
    expect_idle(kStopped);
    EXPECT_TRUE(pump_until([&] { return !cu::worker_known(static_cast<std::uint32_t>(stopped)); }, 2s))
        << "the stopped worker was not reclaimed";

    const auto after_stop = shown_rows();
    EXPECT_GE(after_stop.size(), 20u);
    EXPECT_LT(after_stop.size(), 5000u);
    pump_for(500ms);
    EXPECT_EQ(shown_rows(), after_stop) << "the stopped worker wrote into the list";
    expect_idle(kStopped);
    // Every row but possibly the last is complete.
    for (std::size_t r = 0; r + 1 < after_stop.size(); ++r) EXPECT_EQ(after_stop[r][0], QString::number(r + 1));

    service->set_answer(make_answer(3).body);
    ASSERT_TRUE(search("abc"));
    EXPECT_EQ(result_list()->topLevelItemCount(), 3);
    expect_idle(kDone);
}

// Each search is started the moment the caption reads "搜索" again, which may
// fall between a finishing worker's caption change and its handle release. A
// worker that released the next search's handle instead of its own would
// leave its own behind for good.
TEST_F(Search, BackToBackSearchesEachReleaseTheirOwnHandle)
{
    service->set_answer(make_answer(10).body);
    keyword_box()->setText("abc");
    std::vector<std::int32_t> handles;
    for (int i = 0; i < 15; ++i) {
        search_button()->click();
        handles.push_back(worker_handle());
        ASSERT_TRUE(pump_until([] { return search_button()->text() == kIdle; }));
        EXPECT_EQ(status_label()->text(), kDone);
    }
    ASSERT_TRUE(pump_until([] { return status_label()->text() == kDone; }));
    EXPECT_EQ(result_list()->topLevelItemCount(), 10);
    for (std::int32_t handle : handles)
        EXPECT_TRUE(pump_until([&] { return !cu::worker_known(static_cast<std::uint32_t>(handle)); }, 2s))
            << "handle " << handle << " was never released";
}

// Bytes the process holds from malloc, which every runtime block comes from.
std::size_t heap_in_use() { return mallinfo2().uordblks; }

// Completed searches release their texts and documents; stopped ones leave
// theirs to the runtime, which reclaims them once the worker has ended.
TEST_F(Search, RepeatedSearchesAndStopsLeaveNothingBehind)
{
    const std::string small = make_answer(200).body;
    const std::string large = make_answer(3000).body;  // held, decoded and parsed when the stop comes
    const auto round = [&] {
        service->set_answer(small);
        for (int i = 0; i < 10; ++i) ASSERT_TRUE(search("abc"));
        service->set_answer(large);
        for (int i = 0; i < 3; ++i) {
            start("abc");
            ASSERT_TRUE(pump_until([] { return result_list()->topLevelItemCount() >= 5; }));
            const std::int32_t stopped = worker_handle();
            search_button()->click();
            ASSERT_TRUE(pump_until([&] { return !cu::worker_known(static_cast<std::uint32_t>(stopped)); }));
        }
        service->set_answer(small);
        ASSERT_TRUE(search("abc"));  // the list back to 200 rows
    };
    round();  // caches and pools settle
    const std::size_t before = heap_in_use();
    round();
    round();
    const std::size_t after = heap_in_use();
    // One answer left behind per search would be well over a megabyte.
    EXPECT_LT(after, before + 512 * 1024) << "the heap grew from " << before << " to " << after << " bytes";
}

TEST_F(Search, PopupItemsFollowTheSelection)
{
    const QString open = QString::fromUtf8("浏览器打开");
    const QString copy = QString::fromUtf8("复制地址");
    const QString about = QString::fromUtf8("关于");
    fill_list(make_answer(3));

    select_row(-1);
    right_click_list();
    select_row(1);
    right_click_list();
    select_row(-1);
    right_click_list();

    const auto modals = take_modals();
    ASSERT_EQ(modals.size(), 3u);
    EXPECT_EQ(modals[0].visible_items, QStringList({about}));
    EXPECT_EQ(modals[1].visible_items, QStringList({open, copy, about}));
    EXPECT_EQ(modals[2].visible_items, QStringList({about}));
}

struct AddressCase {
    const char* cell;
    const char* address;
};

const AddressCase kAddressCases[] = {
    {"123|456", "http://" E2E_DRIVE_HOST "/share/link?uk=456&shareid=123"},
    {"abc|456", "http://" E2E_DRIVE_HOST "/s/abc"},
    {"0|456", "http://" E2E_DRIVE_HOST "/s/0"},
    {"123|456|789", "http://" E2E_DRIVE_HOST "/share/link?uk=456&shareid=123"},
    {"0123|9", "http://" E2E_DRIVE_HOST "/share/link?uk=9&shareid=0123"},  // piece 0 as the cell holds it
    {"亅|9", "http://" E2E_DRIVE_HOST "/s/亅"},  // 亅 is 81 7C: its trail byte is no separator
};

// Puts `cell` into the hidden address cell of row 0 and chooses `item` from
// the row's popup.
void choose_for_address(const char* cell, const QString& item)
{
    result_list()->topLevelItem(0)->setText(4, QString::fromUtf8(cell));
    select_row(0);
    choose_in_next_popup(item);
    right_click_list();
}

TEST_F(Search, CopyAddressPutsExactlyTheShareAddressOnTheClipboard)
{
    fill_list(make_answer(1));
    for (const AddressCase& c : kAddressCases) {
        SCOPED_TRACE(c.cell);
        QApplication::clipboard()->setText("before");
        choose_for_address(c.cell, QString::fromUtf8("复制地址"));
        EXPECT_EQ(QApplication::clipboard()->text(), QString::fromUtf8(c.address));
    }
}

TEST_F(Search, OpenInBrowserHandsTheShareAddressToTheBrowser)
{
    fill_list(make_answer(1));
    for (const AddressCase& c : kAddressCases) {
        SCOPED_TRACE(c.cell);
        std::filesystem::remove(browser_record);
        choose_for_address(c.cell, QString::fromUtf8("浏览器打开"));
        ASSERT_TRUE(pump_until([] { return std::filesystem::exists(browser_record); }, 5s));
        std::ifstream record(browser_record);
        std::stringstream given;
        given << record.rdbuf();
        EXPECT_EQ(given.str(), c.address);
    }
}

TEST_F(Search, AboutShowsTheHelpLinesInTheirOrder)
{
    choose_in_next_popup(QString::fromUtf8("关于"));
    right_click_list();
    const auto modals = take_modals();
    ASSERT_EQ(modals.size(), 2u);  // the popup, then the box
    EXPECT_TRUE(modals[0].is_menu);
    EXPECT_EQ(modals[1].title, QString::fromUtf8("关于"));
    const QString help = QString::fromUtf8(
        "1.首先非常感谢Tobel的支持,本程序调用的Tobel提供的Api,对接到了他的站点进行资源搜索!\r\n"
        "3.本程序只能搜索Cumulo中的资源.程序做了搜索限制,每个关键词只能搜索200条.Tobel也不容易,服务器也在每时每刻做爬虫,"
        "服务器亚历山大～\r\n"
        "2.本程序为公测版,只有简单的资源搜索,无法直接拉起下载器进行下载.需用浏览器打开文件页面,手动下载!(不会解析文件地址,"
        "正准备和Tobel进行交流沟通,调用他的解析功能.如果能解析的话,就可以直接拉起下载器.)\r\n"
        "4.使用说明:搜索关键词最低不得小于3个字节(一个汉字为2字节);资源类型:默认,为所有类型!\r\n"
        "5.By:Halvard And By:Tobel");
    EXPECT_EQ(modals[1].text, help);
}

}  // namespace
}  // namespace e2e
