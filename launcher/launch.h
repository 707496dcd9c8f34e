// From the executable to the runtime: find the kernel library beside the
// executable, links resolved ("ostal.vlr") or in the installation directory named by the
// settings file ("ostal.vlx"), ask it for its start function and hand that the
// program image.
#pragma once
#include <string>

namespace cu::launcher {

inline constexpr int kLaunchFailed = 255;  // the -1 exit status

// What the launcher reads from its process, passed in so tests can vary it.
struct Environment {
    std::string executable;              // the running executable's path (/proc/self/exe); may be a link
    const char* xdg_config_home = nullptr;
    const char* home = nullptr;
    const char* display = nullptr;       // set: failures are also shown in a dialog
};

// What happened on the way, for tests.
struct Trace {
    bool settings_read = false;
    std::string loaded;     // path of the kernel library that loaded
    bool released = false;  // the library was released after a failure
};

// The running executable's path, read from /proc/self/exe in full; empty when
// it cannot be read or does not fit a path buffer.
std::string executable_path();

// Loads the kernel library, calls GetNewSock(1000) and the start function
// with `image`. Returns 0 once the start function returns, kLaunchFailed
// after reporting any failure.
int launch(const Environment& env, const void* image, Trace* trace = nullptr);

}  // namespace cu::launcher
