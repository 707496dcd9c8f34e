// Hostile answers through the real runtime and image: whatever the service
// sends (the JSON test suite's parsing cases, answers built to break out of
// the script literal, deep nesting, a huge body, a stall, a cut-off body,
// invalid GBK, NUL bytes, sizes beyond 32 bits, broken HTTP), the window
// never crashes or hangs and comes back to idle. What it shows for each case
// is written to hostile_answers.md beside the test binary.
#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

#include "reliability_env.h"

using namespace std::chrono_literals;

namespace reliability {
namespace {

// One element in the service's form, with `name` as its JSON string body.
std::string one_element(const std::string& name, const std::string& size = "\"1336\"")
{
    return "{\"list\":[{\"name\":\"" + name + "\",\"type\":\"video\",\"size\":" + size + ",\"idAuk\":\"11|22\"}]}";
}

std::ofstream& record()
{
    static std::ofstream out(RELIABILITY_RECORD_DIR "/hostile_answers.md");
    return out;
}

// Printable form of a cell for the record (control characters as \xNN).
std::string shown(const QString& text)
{
    std::string out;
    for (const char c : text.toStdString()) {
        if (static_cast<unsigned char>(c) < 0x20 || c == '|') {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned char>(c));
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

void write_record(const std::string& name, const Outcome& out)
{
    std::string modals;
    for (const auto& m : out.modals) modals += (modals.empty() ? "" : "; ") + shown(m.is_menu ? "menu" : m.title + ": " + m.text);
    const QString first = out.first_row.isEmpty() ? QString() : out.first_row.mid(1, 3).join(" / ");
    record() << "| " << name << " | " << shown(out.status) << " | " << out.rows << " | " << shown(first) << " | "
             << (modals.empty() ? "none" : modals) << " | " << out.took.count() << " |\n";
    record().flush();
}

// Back to idle, inputs enabled, and no message box: what every hostile
// answer must leave behind.
void expect_back_to_idle(const Outcome& out)
{
    EXPECT_TRUE(out.ended) << "the search did not end";
    EXPECT_EQ(out.caption, kIdle);
    EXPECT_TRUE(out.inputs_enabled);
    EXPECT_EQ(out.status, kDone);
    EXPECT_TRUE(out.modals.empty());
}

Outcome search_with(const LoopbackServer::Reply& reply, std::chrono::milliseconds timeout = 30s)
{
    service->set_reply(reply);
    return run_search("abc", timeout);
}

Outcome search_with_body(const std::string& body) { return search_with({LoopbackServer::ok(body)}); }

class Hostile : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        record() << "| case | status | rows | first row (name / type / size) | message | ms |\n"
                 << "|---|---|---|---|---|---|\n";
    }
    void SetUp() override
    {
        ASSERT_TRUE(e2e::pump_until([] { return e2e::search_button()->text() == kIdle; })) << "a search still runs";
    }
};

TEST_F(Hostile, EveryParsingCaseOfTheJsonSuite)
{
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(CUMULO_JSON_SUITE)) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    ASSERT_GT(files.size(), 300u) << "the JSON suite is not at " CUMULO_JSON_SUITE;
    std::map<std::string, std::map<int, int>> rows_by_kind;  // "y"/"n"/"i" -> rows -> files
    for (const auto& file : files) {
        const std::string name = file.filename().string();
        SCOPED_TRACE(name);
        std::ifstream in(file, std::ios::binary);
        const std::string body{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        const Outcome out = search_with_body(body);
        expect_back_to_idle(out);
        // No case of the suite has a "list" member: nothing is a row.
        EXPECT_EQ(out.rows, 0);
        ++rows_by_kind[name.substr(0, 1)][out.rows];
    }
    for (const auto& [kind, counts] : rows_by_kind)
        for (const auto& [rows, count] : counts)
            write_record("JSON suite " + kind + "_* (" + std::to_string(count) + " files)",
                         Outcome{kIdle, kDone, true, rows, {}, {}, 0ms, true});
}

struct NameCase {
    const char* name;
    std::string json_name;  // the name member as the answer spells it
    const char* shown;      // the name cell the window must show (UTF-8); null: no row
};

// Answers that try to end the script literal the answer travels in, or to
// reach into its escapes: each name must come out as the text it is, never
// as something a script made of it.
TEST_F(Hostile, NamesBuiltToBreakOutOfTheScriptLiteral)
{
    const NameCase cases[] = {
        {"quote then concatenation", "'+'X'+'", "'+'X'+'"},
        {"quote, statement, comment", "');throw 1;//", "');throw 1;//"},
        {"double quote escaped", "a\\\"+\\\"b", "a\"+\"b"},
        {"script end tag", "</script><script>x=1</script>", "</script><script>x=1</script>"},
        {"backslash at the end of a name", "a\\\\", "a\\"},
        {"backslash before a quote", "\\\\'+'", "\\'+'"},
        {"escaped solidus", "a\\/b", "a/b"},
        // The whole answer is unescaped, so percent escapes in a name are
        // decoded too (inside the literal: nothing leaves it).
        {"percent escapes", "%27%u0027%", "''%"},
        {"JSON escape of an apostrophe", "\\u0027)+(\\u0027", "')+('"},
        // Escapes are decoded before the answer is parsed: a backslash sent as
        // \u005c then starts an escape of its own, here an invalid one.
        {"JSON escape of a backslash", "\\u005c\\u0027", nullptr},
        {"line and paragraph separators", "a\\u2028b\\u2029c", "a?b?c"},
        // "{$}" is the travel form of a line break and comes back as CR LF,
        // raw inside a JSON string: the answer no longer parses.
        {"travel marker", "a{$}b", nullptr},
    };
    for (const NameCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome out = search_with_body(one_element(c.json_name));
        write_record(std::string("breakout: ") + c.name, out);
        expect_back_to_idle(out);
        if (!c.shown) {
            EXPECT_EQ(out.rows, 0);
            continue;
        }
        ASSERT_EQ(out.rows, 1);
        EXPECT_EQ(out.first_row[1], QString::fromUtf8(c.shown));
    }
}

// Raw line breaks and a lone trailing backslash in the answer itself (outside
// any string), which a literal cannot hold as they are.
TEST_F(Hostile, RawLineBreaksAndBackslashesInTheAnswer)
{
    const std::pair<const char*, std::string> cases[] = {
        {"LF between tokens", "{\"list\":\n[{\"name\":\"n1\",\"size\":\"1\"}]\n}"},
        {"CR LF between tokens", "{\"list\":\r\n[{\"name\":\"n1\",\"size\":\"1\"}]\r\n}"},
        {"lone CR between tokens", "{\"list\":\r[{\"name\":\"n1\",\"size\":\"1\"}]\r}"},
        {"leading CR", "\r{\"list\":[{\"name\":\"n1\",\"size\":\"1\"}]}"},
        {"trailing backslash", "{\"list\":[{\"name\":\"n1\",\"size\":\"1\"}]}\\"},
        {"trailing backslash u", "{\"list\":[{\"name\":\"n1\",\"size\":\"1\"}]}\\u"},
    };
    for (const auto& [name, body] : cases) {
        SCOPED_TRACE(name);
        const Outcome out = search_with_body(body);
        write_record(std::string("raw: ") + name, out);
        expect_back_to_idle(out);
        if (std::string(name).find("trailing") == std::string::npos) {
            ASSERT_EQ(out.rows, 1);
            EXPECT_EQ(out.first_row[1], "n1");
        }
    }
}

TEST_F(Hostile, HundredThousandDeepNesting)
{
    const int depth = 100'000;
    const std::pair<const char*, std::string> cases[] = {
        {"arrays in list", "{\"list\":" + std::string(depth, '[') + std::string(depth, ']') + "}"},
        {"objects in list", "{\"list\":[" + [&] {
             std::string s;
             for (int i = 0; i < depth; ++i) s += "{\"a\":";
             s += "1";
             s += std::string(depth, '}');
             return s;
         }() + "]}"},
        {"unclosed arrays", "{\"list\":" + std::string(depth, '[')},
    };
    for (const auto& [name, body] : cases) {
        SCOPED_TRACE(name);
        const Outcome out = search_with_body(body);
        write_record(std::string("100,000-deep nesting: ") + name, out);
        expect_back_to_idle(out);
        EXPECT_EQ(out.rows, 0);
    }
}

TEST_F(Hostile, SixtyFourMegabyteBody)
{
    const std::string body = "{\"list\":[{\"name\":\"n1\",\"size\":\"1\"}],\"pad\":\"" + std::string(64u << 20, 'x') + "\"}";
    const Outcome out = search_with_body(body);
    write_record("64 MB body", out);
    expect_back_to_idle(out);
    EXPECT_EQ(out.rows, 0) << "a body beyond the fetch limit is no answer";
}

// The service accepts the request and never answers: the window stays
// usable, and the fetch gives up at its time limit.
TEST_F(Hostile, StalledServer)
{
    LoopbackServer::Reply stalled;
    stalled.stalled = true;
    service->set_reply(stalled);
    e2e::keyword_box()->setText("abc");
    e2e::search_button()->click();
    // The GUI thread keeps running events meanwhile.
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    timer.start(100);
    e2e::pump_for(2s);
    EXPECT_GE(ticks, 10) << "the window did not answer while the fetch waited";
    EXPECT_EQ(e2e::search_button()->text(), kRunning);
    EXPECT_EQ(service->open_connections(), 1);
    Outcome out;
    const auto waited_from = std::chrono::steady_clock::now();
    out.ended = e2e::pump_until([] { return e2e::search_button()->text() == kIdle; }, 120s);
    out.took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - waited_from) + 2s;
    const e2e::IdleState state = e2e::idle_state();
    out.caption = state.caption;
    out.status = state.status;
    out.inputs_enabled = state.inputs_enabled;
    out.rows = e2e::result_list()->topLevelItemCount();
    out.modals = e2e::take_modals();
    write_record("stalled server (fetch time limit)", out);
    expect_back_to_idle(out);
    EXPECT_EQ(out.rows, 0);
    EXPECT_TRUE(e2e::pump_until([] { return service->open_connections() == 0; }, 5s));
}

// Broken HTTP: bodies cut off, heads that lie, no HTTP at all.
TEST_F(Hostile, BrokenTransfers)
{
    const std::string body = one_element("n1");
    struct Case {
        const char* name;
        LoopbackServer::Reply reply;
    };
    LoopbackServer::Reply cut{LoopbackServer::ok(body)};
    cut.cut_after = cut.bytes.size() - body.size() / 2;
    LoopbackServer::Reply slow_cut{LoopbackServer::ok(body)};
    slow_cut.cut_after = slow_cut.bytes.size() - 5;
    slow_cut.piece = 7;
    slow_cut.pause = 5ms;
    const Case cases[] = {
        {"closed mid-body", cut},
        {"closed 5 bytes before the end, paced", slow_cut},
        {"closed before any byte", {std::string(), 0}},
        {"head only, then closed", {"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n"}},
        {"Content-Length beyond 32 bits, then closed",
         {"HTTP/1.1 200 OK\r\nContent-Length: 4294967396\r\n\r\n" + body}},
        {"chunked, cut inside a chunk", {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n100\r\n" + body}},
        {"chunked, bad chunk size", {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n" + body + "\r\n0\r\n\r\n"}},
        {"status 500 with an answer", {"HTTP/1.1 500 Oops\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body}},
        {"no HTTP at all", {body}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome out = search_with(c.reply);
        write_record(std::string("transfer: ") + c.name, out);
        expect_back_to_idle(out);
        EXPECT_EQ(out.rows, 0) << "a broken transfer is no answer";
    }
    EXPECT_TRUE(e2e::pump_until([] { return service->open_connections() == 0; }, 5s));
}

TEST_F(Hostile, InvalidGbkAndNulBytes)
{
    const std::pair<const char*, std::string> cases[] = {
        {"lone lead byte before the closing quote", one_element("a\x81")},
        {"lead byte with a trail below 0x40", one_element("a\x81\x30z")},
        {"0xFF 0xFF", one_element("a\xFF\xFFz")},
        {"0x80 alone", one_element("a\x80z")},
        {"lead byte at the very end of the answer", one_element("n1") + "\x81"},
        {"UTF-8 (not GBK) name", one_element("\xE4\xB8\xAD\xE6\x96\x87")},
        {"NUL inside a name", one_element(std::string("a\0b", 3))},
        {"NUL before the answer", std::string(1, '\0') + one_element("n1")},
        {"escaped NUL in a name", one_element("a\\u0000b")},
        {"unpaired surrogate escape", one_element("a\\ud800b")},
    };
    for (const auto& [name, body] : cases) {
        SCOPED_TRACE(name);
        const Outcome out = search_with_body(body);
        write_record(std::string("bytes: ") + name, out);
        expect_back_to_idle(out);
        EXPECT_LE(out.rows, 1);
    }
}

TEST_F(Hostile, SizesBeyondThirtyTwoBits)
{
    const std::pair<std::string, const char*> cases[] = {
        {"\"4294967296\"", "4.00 GB"},
        {"4294967296", "4.00 GB"},
        {"\"1099511627776\"", nullptr},
        {"\"99999999999999999999\"", nullptr},
        {"\"18446744073709551616\"", nullptr},
        {"\"-1\"", nullptr},
        {"\"1e30\"", nullptr},
        {"1e400", "no row"},  // beyond a double: the parser refuses the whole answer
        {"\"abc\"", nullptr},
        {"\"\"", nullptr},
        {"null", nullptr},
        {"[1,2]", nullptr},
    };
    for (const auto& [size, expected] : cases) {
        SCOPED_TRACE(size);
        const Outcome out = search_with_body(one_element("n1", size));
        write_record("size " + size, out);
        expect_back_to_idle(out);
        if (expected && std::string(expected) == "no row") {
            EXPECT_EQ(out.rows, 0);
            continue;
        }
        ASSERT_EQ(out.rows, 1);
        if (expected) {
            EXPECT_EQ(out.first_row[3], QString::fromUtf8(expected));
        }
    }
}

}  // namespace
}  // namespace reliability
