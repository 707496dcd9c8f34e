// Runs a program the way a user starts it, for tests that check what it says
// and how it ends: no arguments, the given environment, standard error
// collected, killed when it has not ended within the time allowed.
#pragma once

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace cu::test {

struct ProgramOutcome {
    int status = -1;  // exit status; -1 when it could not start or did not exit by itself
    std::string err;
};

inline ProgramOutcome run_program(const std::string& program, const std::vector<std::string>& env,
                                  std::chrono::seconds allowed = std::chrono::seconds(30))
{
    ProgramOutcome result;
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) return result;
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
    if (rc != 0) {
        close(pipe_fds[0]);
        return result;
    }
    std::thread killer([pid, deadline = std::chrono::steady_clock::now() + allowed] {
        while (kill(pid, 0) == 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        kill(pid, SIGKILL);
    });
    char buffer[4096];
    for (ssize_t n; (n = read(pipe_fds[0], buffer, sizeof buffer)) > 0;) result.err.append(buffer, static_cast<std::size_t>(n));
    close(pipe_fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    killer.join();
    if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
    return result;
}

}  // namespace cu::test
