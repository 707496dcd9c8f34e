#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <unistd.h>

#include "command_harness.h"
#include "gbk.h"
#include "kernel_modules.h"

using namespace cu::test;

namespace {

const auto objects = cu::kernel::script_object_commands();

// A script object as the program holds one: an 8-byte zeroed block.
class ScriptObject {
public:
    explicit ScriptObject(const char* class_name = "ScriptControl", const char* language = "JScript")
    {
        call(objects, 0x91C, {record(), text(class_name), omitted()});
        if (language) call(objects, 0x948, {record(), text("Language"), text(language)});
    }
    ~ScriptObject() { call(objects, 0x924, {record()}); }
    ScriptObject(const ScriptObject&) = delete;
    ScriptObject& operator=(const ScriptObject&) = delete;

    cu_value record() { return object(&block_, CU_LTYPE_OBJECT); }
    bool empty() const { return block_ == 0; }
    void execute(const std::string& statement)
    {
        call(objects, 0x958, {record(), text("ExecuteStatement"), text(statement.c_str())});
    }
    std::string run(const char* name) { return take_text(call(objects, 0x954, {record(), text("Run"), text(name)})); }

private:
    std::uint64_t block_ = 0;
};

// What DecodeEscapedText hands the engine: the prepared text inside a function.
std::string decode_statement(const std::string& prepared)
{
    return "function xx(){var x='" + prepared + "';return unescape(x);}";
}

std::string decode(const std::string& prepared)
{
    ScriptObject o;
    o.execute(decode_statement(prepared));
    return o.run("xx");
}

// node's answer for each statement: the UTF-16 units of xx(), or nothing
// when the statement or the call throws; converted to GBK as the runtime does.
std::vector<std::optional<std::string>> node_decode(const std::vector<std::string>& prepared)
{
    // Named by process: other builds may run this test at the same time.
    const std::string stem = testing::TempDir() + "/node_decode_" + std::to_string(getpid());
    const std::string input = stem + ".in", output = stem + ".out";
    {
        std::ofstream in(input, std::ios::binary);
        for (const std::string& p : prepared) {
            // One statement per line, as UTF-8 with its units hex-escaped so line
            // breaks inside a statement survive the file.
            for (char16_t u : cu::gbk_to_utf16(decode_statement(p))) in << std::hex << unsigned(u) << ' ';
            in << '\n';
        }
    }
    const std::string script = R"(
const fs = require('fs'), vm = require('vm');
const lines = fs.readFileSync(process.argv[1], 'utf8').split('\n').filter(l => l.length);
const out = lines.map(line => {
  const source = String.fromCharCode(...line.trim().split(' ').map(h => parseInt(h, 16)));
  try {
    const r = vm.runInNewContext(source + ';xx()');
    const units = [];
    for (let i = 0; i < r.length; i++) units.push(r.charCodeAt(i).toString(16));
    return units.join(' ') || '-';
  } catch (e) { return 'error'; }
});
fs.writeFileSync(process.argv[2], out.join('\n') + '\n');
)";
    const std::string command = "node -e \"$CUMULO_NODE_SCRIPT\" " + input + " " + output;
    setenv("CUMULO_NODE_SCRIPT", script.c_str(), 1);
    EXPECT_EQ(std::system(command.c_str()), 0) << "node must be installed";
    std::ifstream results(output);
    std::vector<std::optional<std::string>> answers;
    for (std::string line; std::getline(results, line);) {
        if (line == "error") {
            answers.emplace_back();
            continue;
        }
        std::u16string units;
        std::istringstream hex(line == "-" ? "" : line);
        for (unsigned u; hex >> std::hex >> u;) units.push_back(static_cast<char16_t>(u));
        std::string gbk = cu::utf16_to_gbk(units);
        answers.emplace_back(gbk.substr(0, gbk.find('\0')));  // a text ends at its first NUL
    }
    std::remove(input.c_str());
    std::remove(output.c_str());
    return answers;
}

TEST(ScriptObjects, DecodeAgreesWithNode)
{
    const std::vector<std::string> prepared = {
        "%u4E2D%u6587.txt",
        "%u4e2d lower-case digits",
        "{\"list\":[{\"name\":\"%u4E2D\",\"size\":\"12\"}]}",
        "plain ascii",
        "%41%20b %zz 100% %4",
        "%u00E9 %uFF0C %u0E01",
        "%uD83D%uDE00 emoji",
        "%uD800x lone high, %uDC00 lone low",
        "\\%u0041 doubled backslash",
        "a\\/b \\\"q\\\" \\t tab \\\\ back",
        "\\x41\\u0042",
        "\xD6\xD0\xCE\xC4 gbk kept",
        "\xA1\xAF right quote",
        "{$}{$} markers",
        "\\0 nul ends the text",
        "a\nb",           // a line feed ends the literal: a syntax error
        "ends with \\",   // the backslash escapes the closing quote
        "it's",           // an apostrophe ends the literal early
        "%u",
    };
    const auto expected = node_decode(prepared);
    ASSERT_EQ(expected.size(), prepared.size());
    for (std::size_t i = 0; i < prepared.size(); ++i)
        EXPECT_EQ(decode(prepared[i]), expected[i].value_or("")) << prepared[i];
}

TEST(ScriptObjects, KnownResults)
{
    EXPECT_EQ(decode("%u4E2D%u6587.txt"), "\xD6\xD0\xCE\xC4.txt");
    EXPECT_EQ(decode("\xA1\xAF"), "\xA1\xAF");
    EXPECT_EQ(decode("\\%u0041"), "A");
    EXPECT_EQ(decode("a\nb"), "");
}

TEST(ScriptObjects, UnknownClassLeavesTheBlockEmpty)
{
    ScriptObject o("Scripting.FileSystemObject", nullptr);
    EXPECT_TRUE(o.empty());
    o.execute("function xx(){return 'a';}");
    EXPECT_EQ(o.run("xx"), "");
    EXPECT_FALSE(ScriptObject("scriptcontrol", nullptr).empty()) << "class names ignore letter case";
}

TEST(ScriptObjects, NothingRunsBeforeTheLanguageIsSet)
{
    ScriptObject none("ScriptControl", nullptr);
    none.execute("function xx(){return 'a';}");
    EXPECT_EQ(none.run("xx"), "");
    ScriptObject other("ScriptControl", "VBScript");
    other.execute("function xx(){return 'a';}");
    EXPECT_EQ(other.run("xx"), "");
}

TEST(ScriptObjects, FailuresGiveTheEmptyText)
{
    ScriptObject o;
    EXPECT_EQ(o.run("missing"), "");
    o.execute("var notAFunction = 3; function thrower(){ throw new Error('x'); }"
              "function nothing(){} function nul(){ return null; } function num(){ return 42; }");
    EXPECT_EQ(o.run("notAFunction"), "");
    EXPECT_EQ(o.run("thrower"), "");
    EXPECT_EQ(o.run("nothing"), "");
    EXPECT_EQ(o.run("nul"), "");
    EXPECT_EQ(o.run("num"), "42");
    EXPECT_EQ(take_text(call(objects, 0x954, {o.record(), text("NoSuchMethod"), text("x")})), "");
    EXPECT_EQ(take_text(call(objects, 0x954, {o.record(), text("Eval"), text("1+2")})), "3");
}

TEST(ScriptObjects, EachObjectHasItsOwnHeap)
{
    ScriptObject a, b;
    a.execute("function xx(){return 'a';}");
    EXPECT_EQ(a.run("xx"), "a");
    EXPECT_EQ(b.run("xx"), "");
}

// Engines are built ahead of use; one taken after another has run scripts is
// still untouched.
TEST(ScriptObjects, ObjectsMadeOneAfterAnotherStartFromACleanHeap)
{
    for (int i = 0; i < 4; ++i) {
        ScriptObject o;
        o.execute("var seen = typeof leftover + ',' + typeof [].mark; leftover = 1; Array.prototype.mark = 1;"
                  "function xx(){ return seen; }");
        EXPECT_EQ(o.run("xx"), "undefined,undefined") << "object " << i;
    }
}

TEST(ScriptObjects, NoHostObjects)
{
    ScriptObject o;
    o.execute("function xx(){ var names = ['require','process','print','alert','XMLHttpRequest','fetch',"
              "'setTimeout','Duktape.modSearch','module','exports','load','readFile']; var seen = [];"
              "for (var i = 0; i < names.length; i++) { try { if (eval('typeof ' + names[i]) !== 'undefined')"
              " seen.push(names[i]); } catch (e) {} } return seen.join(',') || 'none'; }");
    EXPECT_EQ(o.run("xx"), "none");
}

TEST(ScriptObjects, MemoryCapEndsARunawayScript)
{
    ScriptObject o;
    o.execute("function xx(){ var s = 'xxxxxxxx'; for (;;) s = s + s; }"
              "function yy(){ return 'still usable'; }");
    EXPECT_EQ(o.run("xx"), "");
    EXPECT_EQ(o.run("yy"), "still usable");
}

TEST(ScriptObjects, ReleaseEmptiesTheBlockAndIsRepeatable)
{
    std::uint64_t block = 0;
    const cu_value record = object(&block, CU_LTYPE_OBJECT);
    call(objects, 0x91C, {record, text("ScriptControl"), omitted()});
    EXPECT_NE(block, 0u);
    call(objects, 0x924, {record});
    EXPECT_EQ(block, 0u);
    call(objects, 0x924, {record});
    EXPECT_EQ(block, 0u);
    call(objects, 0x924, {object(nullptr, CU_LTYPE_OBJECT)});
}

}  // namespace
