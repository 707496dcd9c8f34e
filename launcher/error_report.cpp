#include "error_report.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>

extern char** environ;

namespace cu::launcher {
namespace {

bool run_dialog(const char* const argv[])
{
    pid_t pid;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, const_cast<char* const*>(argv), environ) != 0) return false;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return true;
    // 127: the spawned child could not run the program.
    return !(WIFEXITED(status) && WEXITSTATUS(status) == 127);
}

}  // namespace

void report_launch_error(const char* display)
{
    std::fprintf(stderr, "%s: %s\n", kErrorCaption, kErrorText);
    std::fflush(stderr);
    if (!display || !*display) return;
    const char* zenity[] = {"zenity", "--error", "--title", kErrorCaption, "--text", kErrorText, nullptr};
    const char* xmessage[] = {"xmessage", "-center", "-title", kErrorCaption, kErrorText, nullptr};
    if (!run_dialog(zenity)) run_dialog(xmessage);
}

}  // namespace cu::launcher
