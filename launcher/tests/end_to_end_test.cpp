// The real cumulo-search, started as a user starts it: the embedded image
// runs to its start routine's EndProgram(0) once the window is closed.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Outcome {
    int status = -1;  // exit status, or -1 when it did not exit by itself
    std::string err;
};

// Runs `program` with `env`; stderr collected; killed after 30 s.
Outcome run_program(const std::string& program, const std::vector<std::string>& env)
{
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 2);
    posix_spawn_file_actions_addclose(&actions, pipe_fds[0]);
    std::vector<char*> argv{const_cast<char*>(program.c_str()), nullptr};
    std::vector<char*> envp;
    for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    pid_t pid;
    const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_fds[1]);
    Outcome result;
    if (rc != 0) {
        close(pipe_fds[0]);
        return result;
    }
    std::thread killer([pid] {
        for (int i = 0; i < 300; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (kill(pid, 0) != 0) return;
        }
        kill(pid, SIGKILL);
    });
    char buffer[4096];
    for (ssize_t n; (n = read(pipe_fds[0], buffer, sizeof buffer)) > 0;) result.err.append(buffer, n);
    close(pipe_fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    killer.join();
    if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
    return result;
}

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
