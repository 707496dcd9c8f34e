#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>
#include <fstream>
#include <sstream>

#include "command_harness.h"
#include "library_ids.h"
#include "worker.h"

using namespace cu::test;

namespace {

class Jdoc : public testing::Test {
protected:
    static void SetUpTestSuite() { library = new SupportLibrary("jdoc"); }
    static void TearDownTestSuite() { delete library; }
    static SupportLibrary* library;

    // A document as the program keeps one: a zeroed 8-byte block.
    struct Document {
        std::uint64_t block = 0;
        cu_value record() { return object(&block, CU_LTYPE_DOCUMENT); }
    };

    cu_value run(std::uint32_t number, std::vector<cu_value> args) { return call(library->commands(), number, args); }

    // A lookup result: a fresh block the caller finalises and frees.
    struct Lookup {
        Jdoc* test;
        std::uint64_t* block;
        cu_value record() { return object(block, CU_LTYPE_DOCUMENT); }
        std::string value() { return test->value_of(record()); }
        std::int32_t count() { return as_int(test->run(0x3C, {record()})); }
        ~Lookup()
        {
            test->run(0x04, {record()});
            cu::free_block(block);
        }
    };
    Lookup member(cu_value doc, const char* key)
    {
        return {this, reinterpret_cast<std::uint64_t*>(run(0x30, {doc, text(key)}).value)};
    }
    Lookup element(cu_value doc, std::int32_t index)
    {
        return {this, reinterpret_cast<std::uint64_t*>(run(0x4C, {doc, integer(index)}).value)};
    }
    std::string value_of(cu_value doc)
    {
        const cu_value v = run(0x1C, {doc});
        EXPECT_EQ(v.tag, CU_TAG_TEXT) << "the caller requires a text";
        return take_text(v);
    }
    bool parse(Document& d, const std::string& json)
    {
        return run(0x0C, {d.record(), text(json.c_str())}).value != 0;
    }
};
SupportLibrary* Jdoc::library = nullptr;

TEST_F(Jdoc, Descriptor)
{
    const cu_library& d = library->descriptor();
    EXPECT_STREQ(d.short_name, "jdoc");
    EXPECT_STREQ(d.identifier, CU_ID_JDOC);
    EXPECT_EQ(d.major, 2u);
    EXPECT_EQ(d.minor, 3u);
}

TEST_F(Jdoc, AnswerRowsAsTheSearchReadsThem)
{
    Document d;
    run(0x00, {d.record()});
    ASSERT_TRUE(parse(d, "{\"list\":[{\"name\":\"\xD6\xD0\xCE\xC4.txt\",\"type\":\"\xCE\xC4\xBC\xFE\",\"size\":\"12\","
                         "\"idAuk\":\"5_6\"},{\"name\":\"b\",\"size\":5368709120}],\"other\":1}"));
    Lookup list = member(d.record(), "list");
    EXPECT_EQ(list.count(), 2);
    Lookup first = element(list.record(), 0);
    EXPECT_EQ(member(first.record(), "name").value(), "\xD6\xD0\xCE\xC4.txt") << "GBK bytes pass unchanged";
    EXPECT_EQ(member(first.record(), "type").value(), "\xCE\xC4\xBC\xFE");
    EXPECT_EQ(member(first.record(), "size").value(), "12");
    EXPECT_EQ(member(first.record(), "idAuk").value(), "5_6");
    Lookup second = element(list.record(), 1);
    EXPECT_EQ(member(second.record(), "size").value(), "5368709120") << "a number as the answer wrote it";
    run(0x04, {d.record()});
    EXPECT_EQ(d.block, 0u);
}

TEST_F(Jdoc, MissingPartsAreEmptyDocuments)
{
    Document d;
    run(0x00, {d.record()});
    ASSERT_TRUE(parse(d, "{\"list\":[1,2],\"obj\":{\"a\":null},\"t\":true}"));
    EXPECT_EQ(member(d.record(), "nope").value(), "");
    EXPECT_EQ(member(d.record(), "nope").count(), 0);
    Lookup list = member(d.record(), "list");
    EXPECT_EQ(element(list.record(), 2).value(), "");
    EXPECT_EQ(element(list.record(), -1).count(), 0);
    EXPECT_EQ(member(list.record(), "x").value(), "") << "a member of an array is missing";
    Lookup missing = member(d.record(), "nope");
    EXPECT_EQ(member(element(missing.record(), 0).record(), "deeper").value(), "") << "lookups on nothing stay empty";
    EXPECT_EQ(member(d.record(), "obj").count(), 0) << "an object is no array";
    EXPECT_EQ(member(d.record(), "obj").value(), "");
    EXPECT_EQ(member(d.record(), "t").value(), "true");
    EXPECT_EQ(value_of(d.record()), "") << "an object has no text value";
    run(0x04, {d.record()});
}

TEST_F(Jdoc, UnparsableTextGivesAnEmptyDocument)
{
    Document d;
    run(0x00, {d.record()});
    for (const char* bad : {"", "{\"list\":[1,2]", "not json", "{\"list\":[]} trailing"}) {
        EXPECT_FALSE(parse(d, bad)) << bad;
        EXPECT_EQ(member(d.record(), "list").count(), 0) << bad;
    }
    EXPECT_TRUE(parse(d, "{\"list\":[]}"));
    EXPECT_EQ(member(d.record(), "list").count(), 0);
    run(0x04, {d.record()});
}

TEST_F(Jdoc, EscapesBecomeGbk)
{
    Document d;
    run(0x00, {d.record()});
    ASSERT_TRUE(parse(d, R"(["\u4e2d\u6587", "a\"b\\c\/d\te", "\ud83d\ude00", "\u00e9"])"));
    EXPECT_EQ(element(d.record(), 0).value(), "\xD6\xD0\xCE\xC4");
    EXPECT_EQ(element(d.record(), 1).value(), "a\"b\\c/d\te");
    EXPECT_EQ(element(d.record(), 2).value(), "?") << "GBK has no emoji";
    EXPECT_EQ(element(d.record(), 3).value(), "\xA8\xA6");
    run(0x04, {d.record()});
}

// A GBK character is one character: a trail byte that equals '\' starts no
// escape, while a real escape right after such a character still counts, and
// a lead byte without its trail byte is kept alone.
TEST_F(Jdoc, GbkCharactersStayWhole)
{
    const struct {
        const char* json_string;  // between the quotes
        const char* value;
    } cases[] = {
        {"\xDF\x5C", "\xDF\x5C"},                                  // 運
        {"\x81\x5C\xFE\x5C", "\x81\x5C\xFE\x5C"},                  // lead bytes at both ends of the range
        {"\xBD\x5C\\\"", "\xBD\x5C\""},                            // 絓 then an escaped quote
        {"\xDF\x5C\\\\\xE5\x5C", "\xDF\x5C\\\xE5\x5C"},            // an escaped backslash between two
        {"\xDF\x5C\\u4e2d", "\xDF\x5C\xD6\xD0"},                   // a \u escape right after
        {"\xB0\x7C\xB0\x40\xB0\x75", "\xB0\x7C\xB0\x40\xB0\x75"},  // trail bytes '|', '@', 'u'
        {"a\x81", "a\x81"},                                        // a lead byte that ends the string
    };
    Document d;
    run(0x00, {d.record()});
    for (const auto& c : cases) {
        const std::string json = std::string("{\"name\":\"") + c.json_string + "\",\"next\":\"ok\"}";
        ASSERT_TRUE(parse(d, json)) << json;
        EXPECT_EQ(member(d.record(), "name").value(), c.value) << json;
        EXPECT_EQ(member(d.record(), "next").value(), "ok") << json;
    }
    run(0x04, {d.record()});
}

TEST_F(Jdoc, LookupsAreViewsThatOutliveTheirParent)
{
    Document d;
    run(0x00, {d.record()});
    ASSERT_TRUE(parse(d, "{\"list\":[{\"name\":\"kept\"}]}"));
    Lookup list = member(d.record(), "list");
    run(0x04, {d.record()});  // the parsed tree stays while a view holds it
    EXPECT_EQ(member(element(list.record(), 0).record(), "name").value(), "kept");
}

TEST_F(Jdoc, ReparsingReplacesTheTree)
{
    Document d;
    run(0x00, {d.record()});
    ASSERT_TRUE(parse(d, "{\"a\":\"1\"}"));
    Lookup old = member(d.record(), "a");
    ASSERT_TRUE(parse(d, "{\"a\":\"2\"}"));
    EXPECT_EQ(member(d.record(), "a").value(), "2");
    EXPECT_EQ(old.value(), "1") << "an earlier view keeps the tree it was taken from";
    run(0x04, {d.record()});
}

TEST_F(Jdoc, DepthIsBounded)
{
    Document d;
    run(0x00, {d.record()});
    EXPECT_TRUE(parse(d, std::string(512, '[') + std::string(512, ']')));
    EXPECT_FALSE(parse(d, std::string(513, '[') + std::string(513, ']')));
    EXPECT_FALSE(parse(d, std::string(1'000'000, '[')));
    std::string objects;
    for (int i = 0; i < 100000; ++i) objects += "{\"a\":";
    EXPECT_FALSE(parse(d, objects));
    run(0x04, {d.record()});
}

// A worker stopped while it holds a parsed document and views of it: the
// runtime frees the blocks and the tree goes with them (a leak here shows
// under the sanitizer build's leak check).
std::span<const cu_command> worker_commands;
std::atomic<bool> worker_holds_documents{false};

cu_value run_on_worker(std::uint32_t number, std::initializer_list<cu_value> args)
{
    for (const cu_command& c : worker_commands)
        if (c.number == number) return c.run(static_cast<std::uint32_t>(args.size()), args.begin());
    return {};
}

void hold_documents_until_stopped()
{
    auto* block = static_cast<std::uint64_t*>(cu::allocate_block(8));
    *block = 0;
    const cu_value doc = object(block, CU_LTYPE_DOCUMENT);
    run_on_worker(0x00, {doc});
    run_on_worker(0x0C, {doc, text("{\"list\":[{\"name\":\"a\"},{\"name\":\"b\"}]}")});
    const cu_value list = run_on_worker(0x30, {doc, text("list")});
    run_on_worker(0x4C, {list, integer(1)});
    worker_holds_documents = true;
    for (;;) {
        cu::stop_point();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

TEST_F(Jdoc, StoppedWorkerLeavesNothingBehind)
{
    worker_commands = library->commands();
    const std::uint32_t handle = cu::start_worker(reinterpret_cast<std::uint64_t>(&hold_documents_until_stopped));
    while (!worker_holds_documents) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    cu::stop_worker(handle);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (cu::worker_known(handle) && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_FALSE(cu::worker_known(handle));
}

// Every file of the JSON test suite parses or fails cleanly; y_ files must
// parse and n_ files must not (except where the text ends at a NUL byte, as
// every text does, or where bytes are not validated because texts are GBK).
TEST_F(Jdoc, JsonTestSuite)
{
    const std::filesystem::path dir = "/work/shared/testdata/jsontestsuite/test_parsing";
    if (!std::filesystem::exists(dir)) GTEST_SKIP() << "no suite at " << dir;
    Document d;
    run(0x00, {d.record()});
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::stringstream content;
        content << in.rdbuf();
        const std::string json = content.str();
        const std::string name = entry.path().filename();
        const bool ok = parse(d, json);
        const bool has_nul = json.find('\0') != std::string::npos;
        if (name[0] == 'y' && !has_nul) EXPECT_TRUE(ok) << name;
        if (name[0] == 'n' && !has_nul && name.find("string_invalid") == std::string::npos &&
            name.find("utf8") == std::string::npos && name.find("UTF8") == std::string::npos &&
            name.find("surrogate") == std::string::npos)
            EXPECT_FALSE(ok) << name;
        // Whatever the outcome, the document answers.
        (void)member(d.record(), "x").value();
        (void)run(0x3C, {d.record()});
        ++files;
    }
    EXPECT_GT(files, 300);
    run(0x04, {d.record()});
}

}  // namespace
