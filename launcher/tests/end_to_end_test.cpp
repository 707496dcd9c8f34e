// The real cumulo-search, started as a user starts it: the embedded image
// runs to its start routine's EndProgram(0) once the window is closed.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "run_program.h"

namespace {

using Outcome = cu::test::ProgramOutcome;
using cu::test::run_program;

std::vector<std::string> base_env()
{
    return {"QT_QPA_PLATFORM=offscreen", "HOME=/nonexistent", "XDG_CONFIG_HOME=/nonexistent",
            "XDG_RUNTIME_DIR=" + std::filesystem::temp_directory_path().string()};
}

TEST(EndToEnd, StartRoutineReachesEndProgramZeroOnceTheWindowCloses)
{
    std::vector<std::string> env = base_env();
    env.push_back("LD_PRELOAD=" WINDOW_CLOSER);
    const Outcome r = run_program(LAUNCHER, env);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("window-closer: closed the program's window"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("cumulo-search:"), std::string::npos) << r.err;
}

TEST(EndToEnd, WithoutAKernelLibraryTheOneMessageAndStatus255)
{
    // A copy of the launcher alone in a directory: nothing beside it, no settings.
    const auto dir = std::filesystem::temp_directory_path() / ("cumulo-e2e-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const auto lonely = dir / "cumulo-search";
    std::filesystem::copy_file(LAUNCHER, lonely, std::filesystem::copy_options::overwrite_existing);
    const Outcome r = run_program(lonely.string(), base_env());
    std::filesystem::remove_all(dir);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "Error: Not found the kernel library or the kernel library is invalid!\n");
}

}  // namespace
