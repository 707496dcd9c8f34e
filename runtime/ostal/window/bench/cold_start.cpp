// Cold start to the first shown window, under an X server (e.g. xvfb-run):
// starts each program, waits until it maps its first top-level window, asks
// that window to close the way a window manager does, and requires the
// program to end with status 0.
//
//   window_cold_start <runs> <program> [<program>...]
//
// Prints one line per program: median and fastest time to the window.
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const std::string& message)
{
    std::fprintf(stderr, "window_cold_start: %s\n", message.c_str());
    std::exit(1);
}

xcb_atom_t atom(xcb_connection_t* x, const char* name)
{
    xcb_intern_atom_reply_t* reply =
        xcb_intern_atom_reply(x, xcb_intern_atom(x, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr);
    if (!reply) fail(std::string("no atom ") + name);
    const xcb_atom_t a = reply->atom;
    std::free(reply);
    return a;
}

// The next top-level window mapped, or nothing within the time allowed. A
// program that ends first is reported with its status.
std::optional<xcb_window_t> next_mapped_window(xcb_connection_t* x, pid_t pid, Clock::time_point deadline)
{
    pollfd fd{xcb_get_file_descriptor(x), POLLIN, 0};
    while (Clock::now() < deadline) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid)
            fail("the program ended before showing a window, status " +
                 std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)));
        while (xcb_generic_event_t* event = xcb_poll_for_event(x)) {
            std::optional<xcb_window_t> mapped;
            if ((event->response_type & 0x7F) == XCB_MAP_NOTIFY) {
                auto* map = reinterpret_cast<xcb_map_notify_event_t*>(event);
                if (!map->override_redirect) mapped = map->window;
            }
            std::free(event);
            if (mapped) return mapped;
        }
        if (xcb_connection_has_error(x)) fail("the X connection broke");
        poll(&fd, 1, 10);
    }
    return std::nullopt;
}

void ask_to_close(xcb_connection_t* x, xcb_window_t window)
{
    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = window;
    message.type = atom(x, "WM_PROTOCOLS");
    message.data.data32[0] = atom(x, "WM_DELETE_WINDOW");
    message.data.data32[1] = XCB_CURRENT_TIME;
    xcb_send_event(x, 0, window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&message));
    xcb_flush(x);
}

int wait_for_exit(pid_t pid, Clock::time_point deadline)
{
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            fail("the program did not end after its window was closed");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return status;
}

double one_start(xcb_connection_t* x, const char* program)
{
    char* argv[] = {const_cast<char*>(program), nullptr};
    const Clock::time_point start = Clock::now();
    pid_t pid = 0;
    if (posix_spawn(&pid, program, nullptr, nullptr, argv, environ) != 0) fail(std::string("cannot start ") + program);
    const std::optional<xcb_window_t> window = next_mapped_window(x, pid, start + std::chrono::seconds(60));
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    if (!window) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        fail(std::string(program) + " showed no window");
    }
    ask_to_close(x, *window);
    const int status = wait_for_exit(pid, Clock::now() + std::chrono::seconds(10));
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        fail(std::string(program) + " did not end with status 0 after its window was closed");
    return ms;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) fail("usage: window_cold_start <runs> <program> [<program>...]");
    const int runs = std::max(1, std::atoi(argv[1]));
    int screen_number = 0;
    xcb_connection_t* x = xcb_connect(nullptr, &screen_number);
    if (xcb_connection_has_error(x)) fail("no X display");
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(x));
    for (int i = 0; i < screen_number; ++i) xcb_screen_next(&screens);
    const std::uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(x, screens.data->root, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(x);

    // Runs alternate between the programs so that both see the same caches.
    std::vector<std::vector<double>> times(static_cast<std::size_t>(argc - 2));
    for (int run = 0; run < runs; ++run)
        for (int p = 2; p < argc; ++p) times[static_cast<std::size_t>(p - 2)].push_back(one_start(x, argv[p]));

    for (int p = 2; p < argc; ++p) {
        std::vector<double>& t = times[static_cast<std::size_t>(p - 2)];
        std::sort(t.begin(), t.end());
        std::printf("%-40s median %7.1f ms  fastest %7.1f ms  (%d runs, exit status 0 after close)\n", argv[p],
                    t[t.size() / 2], t.front(), runs);
    }
    xcb_disconnect(x);
    return 0;
}
