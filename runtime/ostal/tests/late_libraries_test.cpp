// The record that lets a support library bind after the window shows: what
// it depends on, and what a late binding that fails after all does.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <thread>

#include "late_libraries.h"
#include "library_ids.h"

namespace {

namespace fs = std::filesystem;
using cu::ostal::LateLibrary;
using cu::ostal::LibraryPlace;

const LibraryPlace kFixturePlace{FIXTURE_DIR "/extra_current/", ".vlr"};
// Not the position the loaded test image gives it, so no earlier binding of
// the fixture library stands in for this one.
const LateLibrary kExtra{7, {"extra", "0123456789ABCDEF0123456789abcdef", 2, 0, "extra"}};

// A runtime directory of its own for the records, and the loader variables
// the record looks at, restored afterwards.
class LateRecord : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = fs::temp_directory_path() / ("cumulo-late-" + std::to_string(getpid()));
        fs::create_directories(dir_);
        setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
        for (const char* name : kVariables) {
            const char* value = std::getenv(name);
            saved_[name] = value ? std::optional<std::string>(value) : std::nullopt;
        }
    }
    void TearDown() override
    {
        for (const auto& [name, value] : saved_) {
            if (value) setenv(name.c_str(), value->c_str(), 1);
            else unsetenv(name.c_str());
        }
        unsetenv("XDG_RUNTIME_DIR");
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    fs::path record() const { return dir_ / "cumulo-search/bound-extra"; }

    static constexpr const char* kVariables[] = {"LD_LIBRARY_PATH", "LD_PRELOAD", "GLIBC_TUNABLES"};
    fs::path dir_;
    std::map<std::string, std::optional<std::string>> saved_;
};

TEST_F(LateRecord, AChangeOfWhatTheLoaderReadsUndoesTheRecord)
{
    cu::ostal::BoundLibrary bound;
    std::string error;
    ASSERT_TRUE(cu::ostal::bind_and_record(kExtra, kFixturePlace, &bound, &error)) << error;
    ASSERT_TRUE(fs::exists(record()));
    EXPECT_TRUE(cu::ostal::recorded_as_bound(kExtra, kFixturePlace));

    const std::pair<const char*, const char*> changes[] = {
        {"LD_PRELOAD", "/tmp/libcurl.so.4"},
        {"LD_LIBRARY_PATH", "/tmp"},
        {"GLIBC_TUNABLES", "glibc.cpu.hwcaps=-AVX2"},
    };
    for (const auto& [name, value] : changes) {
        SCOPED_TRACE(name);
        setenv(name, value, 1);
        EXPECT_FALSE(cu::ostal::recorded_as_bound(kExtra, kFixturePlace));
        unsetenv(name);
        EXPECT_TRUE(cu::ostal::recorded_as_bound(kExtra, kFixturePlace));
    }
}

// Bound late after all and refused (here: gone from where it was recorded),
// the library ends the program with the start's message, saying so when the
// window had shown, and its record goes so the next start binds it first.
void bind_once_the_window_shows()
{
    cu::ostal::bind_late_libraries_soon();
    std::this_thread::sleep_for(std::chrono::seconds(10));
    std::_Exit(0);  // the failure went unreported
}

void bind_at_the_first_command() { cu::ostal::late_library(kExtra.index); }

TEST_F(LateRecord, AFailedLateBindingEndsTheProgramAndRemovesTheRecord)
{
    const std::string message =
        "cumulo-search: image late-test: support library 7 \"extra\" \\(.*/extra\\.vlr\\): cannot be loaded: [^\n]*";
    const std::pair<void (*)(), std::string> cases[] = {
        {&bind_at_the_first_command, message + "\n"},
        {&bind_once_the_window_shows, message + " \\(found after the window had shown\\)\n"},
    };
    // Forked as it is: the record is this process's, in its directory.
    GTEST_FLAG_SET(death_test_style, "fast");
    const LibraryPlace emptied{dir_.string() + "/", ".vlr"};
    for (const auto& [bind, expected] : cases) {
        SCOPED_TRACE(expected);
        cu::ostal::BoundLibrary bound;
        std::string error;
        ASSERT_TRUE(cu::ostal::bind_and_record(kExtra, kFixturePlace, &bound, &error)) << error;
        ASSERT_TRUE(fs::exists(record()));
        EXPECT_EXIT(
            {
                cu::ostal::set_late_libraries({kExtra}, emptied, "late-test");
                bind();
            },
            ::testing::ExitedWithCode(3), expected);
        EXPECT_FALSE(fs::exists(record()));
    }
}

}  // namespace
