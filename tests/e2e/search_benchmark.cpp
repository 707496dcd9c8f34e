// Click to "完成" for a 200-element answer on loopback, against the floor
// measured in the same run: a curl fetch of the same answer, a RapidJSON
// parse of it and a direct batch insertion of its 200 rows into a
// QTreeWidget. Prints the figures as a markdown table.
#include <curl/curl.h>
#include <rapidjson/document.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "answers.h"
#include "e2e_env.h"
#include "program_window.h"

namespace {

constexpr int kWarmUp = 3;
constexpr int kRuns = 25;

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double milliseconds(const QElapsedTimer& clock) { return static_cast<double>(clock.nsecsElapsed()) / 1e6; }

// One search through the window: the click, then until the status reads 完成.
double program_run()
{
    const QString done = QString::fromUtf8("完成");
    QElapsedTimer clock;
    clock.start();
    e2e::search_button()->click();
    if (!e2e::pump_until([&] { return e2e::status_label()->text() == done; })) {
        std::fprintf(stderr, "the search did not finish\n");
        e2e::end_program(1);
    }
    return milliseconds(clock);
}

std::size_t append_body(char* data, std::size_t size, std::size_t count, void* body)
{
    static_cast<std::string*>(body)->append(data, size * count);
    return size * count;
}

// The same work done directly: fetch, parse, 200 rows into a tree at once.
double floor_run(CURL* curl, const std::string& url, QTreeWidget& tree)
{
    QElapsedTimer clock;
    clock.start();
    std::string body;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, append_body);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    curl_easy_perform(curl);

    rapidjson::Document answer;
    answer.Parse(body.c_str());
    tree.clear();
    QList<QTreeWidgetItem*> rows;
    const auto& list = answer["list"];
    for (rapidjson::SizeType i = 0; i < list.Size(); ++i) {
        const auto& element = list[i];
        rows << new QTreeWidgetItem(QStringList{QString::number(i + 1), QString::fromUtf8(element["name"].GetString()),
                                                QString::fromUtf8(element["type"].GetString()),
                                                QString::fromUtf8(element["size"].GetString()),
                                                QString::fromUtf8(element["idAuk"].GetString())});
    }
    tree.addTopLevelItems(rows);
    return milliseconds(clock);
}

}  // namespace

int main()
{
    e2e::prepare_program(E2E_IMAGE);
    const e2e::Answer answer = e2e::make_answer(200);
    e2e::service->set_answer(answer.body);
    e2e::keyword_box()->setText("abc");

    QTreeWidget tree;
    tree.setColumnCount(5);
    tree.show();
    CURL* curl = curl_easy_init();
    // The address the program asks for ("默认": no type word), sent to the fixture directly.
    const std::string url = "http://127.0.0.1:" + std::to_string(e2e::service->port()) +
                            "/api/v1/?key=abc&limit=200&sort=size&desc=f&start=0&in=";

    std::vector<double> program, floor;
    for (int i = 0; i < kWarmUp + kRuns; ++i) {
        const double p = program_run();
        const double f = floor_run(curl, url, tree);
        if (i < kWarmUp) continue;
        program.push_back(p);
        floor.push_back(f);
    }
    curl_easy_cleanup(curl);

    const double ratio = median(program) / median(floor);
    std::printf("| Measure (%d runs, 200-element answer, loopback) | median ms | min ms |\n", kRuns);
    std::printf("|---|---|---|\n");
    std::printf("| click to \"完成\" through the program | %.2f | %.2f |\n", median(program),
                *std::min_element(program.begin(), program.end()));
    std::printf("| floor: curl fetch + RapidJSON parse + batch insert of 200 rows | %.2f | %.2f |\n", median(floor),
                *std::min_element(floor.begin(), floor.end()));
    std::printf("| ratio (goal at most 2x) | %.2fx | |\n", ratio);
    e2e::end_program(0);
}
