// Click to "完成" for a 200-element answer on loopback, against the floor
// measured in the same run: a curl fetch of the same answer, a RapidJSON
// parse of it and a direct batch insertion of its 200 rows into a
// QTreeWidget. Also where the program's time goes: click to the request
// reaching the service, and the keyword's encoding, the answer's decoding and
// its type-word translation called alone in the image. Prints a markdown table.
#include <curl/curl.h>
#include <rapidjson/document.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QLineEdit>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "answers.h"
#include "blocks.h"
#include "e2e_env.h"
#include "program_window.h"

namespace {

constexpr int kWarmUp = 3;
constexpr int kRuns = 25;

struct Series {
    const char* what;
    std::vector<double> ms;

    double median() const
    {
        std::vector<double> sorted = ms;
        std::sort(sorted.begin(), sorted.end());
        return sorted[sorted.size() / 2];
    }
    double min() const { return *std::min_element(ms.begin(), ms.end()); }
    void print() const { std::printf("| %s | %.2f | %.2f |\n", what, median(), min()); }
};

double milliseconds(const QElapsedTimer& clock) { return static_cast<double>(clock.nsecsElapsed()) / 1e6; }

struct ProgramRun {
    double to_request = 0;  // click to the request reaching the service
    double total = 0;       // click to "完成"
};

// One search through the window: the click, then until the status reads 完成.
ProgramRun program_run()
{
    const QString done = QString::fromUtf8("完成");
    const std::size_t requests_before = e2e::service->requests().size();
    ProgramRun run;
    QElapsedTimer clock;
    clock.start();
    const auto clicked = std::chrono::steady_clock::now();
    e2e::search_button()->click();
    const bool finished = e2e::pump_until([&] { return e2e::status_label()->text() == done; });
    if (!finished || e2e::service->requests().size() != requests_before + 1) {
        std::fprintf(stderr, "the search did not finish with one request\n");
        e2e::end_program(1);
    }
    // Taken by the service as the request's head arrives, not when this
    // thread next looks.
    run.to_request =
        std::chrono::duration<double, std::milli>(e2e::service->last_request_time() - clicked).count();
    run.total = milliseconds(clock);
    // The end steps set the status before the caption: the next click must
    // find "搜索" again, or it would stop a search that is ending.
    const QString idle = QString::fromUtf8("搜索");
    if (!e2e::pump_until([&] { return e2e::search_button()->text() == idle; })) {
        std::fprintf(stderr, "the search button did not return to \"搜索\"\n");
        e2e::end_program(1);
    }
    return run;
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

// One synchronous repaint of the floor's tree, which the program's list gets
// (several times) inside its own timing.
double floor_paint(QTreeWidget& tree)
{
    QElapsedTimer clock;
    clock.start();
    tree.repaint();
    return milliseconds(clock);
}

using DecodeFn = char* (*)(const char* const*);
using EncodeFn = char* (*)(const char* const*, int32_t, int32_t, int32_t, int32_t);
using ReplacePairsFn = char* (*)(const char* const*, int32_t, int32_t, int32_t, int32_t, const char* const*,
                                 const char* const*, const char* const*, const char* const*, const char* const*,
                                 const char* const*, const char* const*, const char* const*, const char* const*,
                                 const char* const*);

// The keyword's encoding and the answer's decoding and type-word
// translation, as RunSearch calls them.
void time_text_steps(const std::string& body, Series& encode, Series& decode, Series& translate)
{
    auto* encode_keyword = reinterpret_cast<EncodeFn>(e2e::image_routine("UrlEncodeText"));
    auto* decode_escaped = reinterpret_cast<DecodeFn>(e2e::image_routine("DecodeEscapedText"));
    auto* replace_pairs = reinterpret_cast<ReplacePairsFn>(e2e::image_routine("ReplaceTextPairs"));
    if (!encode_keyword || !decode_escaped || !replace_pairs) {
        std::fprintf(stderr, "the image map lacks UrlEncodeText, DecodeEscapedText or ReplaceTextPairs\n");
        e2e::end_program(1);
    }
    const char* keyword = "abc";
    const char* answer = body.c_str();
    const char* words[6] = {"album", "\xCF\xE0\xB2\xE1", "file", "\xCE\xC4\xBC\xFE", "folder", "\xCE\xC4\xBC\xFE\xBC\xD0"};
    for (int i = 0; i < kWarmUp + kRuns; ++i) {
        QElapsedTimer clock;
        clock.start();
        char* encoded = encode_keyword(&keyword, 1, 1, 1, 1);
        const double e = milliseconds(clock);
        clock.restart();
        char* decoded = decode_escaped(&answer);
        const double d = milliseconds(clock);
        clock.restart();
        char* translated = replace_pairs(const_cast<const char* const*>(&decoded), 0, 0, 0, 1, &words[0], &words[1],
                                         &words[2], &words[3], &words[4], &words[5], nullptr, nullptr, nullptr,
                                         nullptr);
        const double t = milliseconds(clock);
        cu::free_block(translated);
        cu::free_block(decoded);
        cu::free_block(encoded);
        if (i < kWarmUp) continue;
        encode.ms.push_back(e);
        decode.ms.push_back(d);
        translate.ms.push_back(t);
    }
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

    Series program{"click to \"完成\" through the program", {}};
    Series to_request{"  of which: click to the request reaching the service", {}};
    Series floor{"floor: curl fetch + RapidJSON parse + batch insert of 200 rows", {}};
    Series paint{"  and one repaint of the floor's tree (not part of the floor)", {}};
    for (int i = 0; i < kWarmUp + kRuns; ++i) {
        const ProgramRun p = program_run();
        const double f = floor_run(curl, url, tree);
        const double r = floor_paint(tree);
        if (i < kWarmUp) continue;
        paint.ms.push_back(r);
        program.ms.push_back(p.total);
        to_request.ms.push_back(p.to_request);
        floor.ms.push_back(f);
    }
    curl_easy_cleanup(curl);

    Series encode{"UrlEncodeText of the keyword, alone", {}};
    Series decode{"DecodeEscapedText of the answer, alone", {}};
    Series translate{"ReplaceTextPairs (type words) of the decoded answer, alone", {}};
    time_text_steps(answer.body, encode, decode, translate);

    std::printf("| Measure (%d runs, 200-element answer of %zu bytes, loopback) | median ms | min ms |\n", kRuns,
                answer.body.size());
    std::printf("|---|---|---|\n");
    for (const Series* s : {&program, &to_request, &floor, &paint, &encode, &decode, &translate}) s->print();
    std::printf("\nProgram / floor (medians): %.2fx (goal at most 2x)\n", program.median() / floor.median());
    e2e::end_program(0);
}
