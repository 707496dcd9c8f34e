#include <gtest/gtest.h>

#include <QGuiApplication>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <unistd.h>

#include "command_harness.h"
#include "library_ids.h"

using namespace cu::test;
namespace fs = std::filesystem;

namespace {

// A fake xdg-open first on PATH that records how many arguments it got and
// the first one.
class Sysbind : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        library = new SupportLibrary("sysbind");
        // One directory per process: test processes may run side by side.
        dir = fs::path(testing::TempDir()) / ("fake-xdg-open-" + std::to_string(getpid()));
        fs::create_directories(dir);
        const fs::path script = dir / "xdg-open";
        std::ofstream(script) << "#!/bin/sh\nprintf '%s\\n%s' \"$#\" \"$1\" > \"$0.record.tmp\"\n"
                                 "mv \"$0.record.tmp\" \"$0.record\"\n";
        fs::permissions(script, fs::perms::owner_all);
        setenv("PATH", (dir.string() + ":" + std::getenv("PATH")).c_str(), 1);
    }
    static void TearDownTestSuite()
    {
        delete library;
        fs::remove_all(dir);
    }
    void SetUp() override { fs::remove(record_file()); }

    static fs::path record_file() { return dir / "xdg-open.record"; }

    // The recorded "count\nargument", waiting a little for the child to write it.
    static std::string recorded(std::chrono::milliseconds wait = std::chrono::milliseconds(3000))
    {
        const auto until = std::chrono::steady_clock::now() + wait;
        while (!fs::exists(record_file()) && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::ifstream in(record_file());
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    static bool open(const std::string& address)
    {
        return call(library->commands(), 0xE0, {text(address.c_str())}).value != 0;
    }

    static SupportLibrary* library;
    static fs::path dir;
};
SupportLibrary* Sysbind::library = nullptr;
fs::path Sysbind::dir;

TEST_F(Sysbind, Descriptor)
{
    EXPECT_STREQ(library->descriptor().short_name, "sysbind");
    EXPECT_STREQ(library->descriptor().identifier, CU_ID_SYSBIND);
    EXPECT_EQ(library->descriptor().major, 3u);
    EXPECT_EQ(library->descriptor().minor, 1u);
}

TEST_F(Sysbind, WebAddressesReachTheBrowserAsOneArgument)
{
    struct Case { std::string address; std::string argument; };
    const fs::path marker = dir / "PWNED";
    const Case cases[] = {
        {"http://127.0.0.1:8930/share/link?uk=1&shareid=2", "http://127.0.0.1:8930/share/link?uk=1&shareid=2"},
        {"HTTPS://example.net/s/1ab", "HTTPS://example.net/s/1ab"},
        // Shell syntax stays text: no shell ever sees the address.
        {"http://x/?a=$(touch " + marker.string() + ")&b=`touch " + marker.string() + "`;|' \"",
         "http://x/?a=$(touch " + marker.string() + ")&b=`touch " + marker.string() + "`;|' \""},
        // A GBK address is handed on as UTF-8.
        {"http://x/\xD6\xD0", "http://x/\xE4\xB8\xAD"},
    };
    for (const Case& c : cases) {
        fs::remove(record_file());
        EXPECT_TRUE(open(c.address)) << c.address;
        EXPECT_EQ(recorded(), "1\n" + c.argument);
    }
    EXPECT_FALSE(fs::exists(marker));
}

TEST_F(Sysbind, OtherAddressesAreRefused)
{
    for (const char* address : {"", "--help", "file:///etc/passwd", "javascript:alert(1)", "ftp://x/", "/usr/bin/id",
                                "http://x/\nsecond line"}) {
        EXPECT_FALSE(open(address)) << address;
    }
    EXPECT_EQ(recorded(std::chrono::milliseconds(300)), "") << "nothing was started";
}

TEST_F(Sysbind, OpensWithAnApplicationRunning)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    int argc = 1;
    char name[] = "sysbind_test";
    char* argv[] = {name, nullptr};
    QGuiApplication app(argc, argv);
    EXPECT_TRUE(open("http://127.0.0.1:8930/s/abc"));
    EXPECT_EQ(recorded(), "1\nhttp://127.0.0.1:8930/s/abc");
}

}  // namespace
