#include "launch.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>

#include "error_report.h"
#include "settings_file.h"
#include "shared_object_check.h"

namespace cu::launcher {
namespace {

constexpr const char* kBesideName = "ostal.vlr";
constexpr const char* kInstalledName = "ostal.vlx";
constexpr const char* kEntryName = "GetNewSock";
constexpr std::int32_t kEntryMagic = 1000;

using GetNewSockFn = std::uintptr_t (*)(std::int32_t);
using StartFn = void (*)(const void*);

// A path that would not fit the platform's path buffer is a failure, never
// silently shortened.
bool fits(const std::string& path) { return !path.empty() && path.size() < PATH_MAX; }

// The directory of `path`, with its final separator; empty without one.
std::string directory_of(const std::string& path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string{} : path.substr(0, slash + 1);
}

// `path` with every link resolved, so a link to the launcher (such as
// /usr/bin/cumulo-search) leads to the directory that holds the runtime; as
// given when it cannot be resolved (the tests name executables that do not
// exist).
std::string real_path(const std::string& path)
{
    if (!fits(path)) return path;
    const std::unique_ptr<char, decltype(&std::free)> resolved(realpath(path.c_str(), nullptr), &std::free);
    return resolved ? std::string(resolved.get()) : path;
}

void* load(const std::string& path, Trace* trace)
{
    // A truncated file (or one it needs beside it) would end the process
    // with SIGBUS inside dlopen instead of the message.
    if (!fits(path) || !cu::shared_object_damage(path).empty()) return nullptr;
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library && trace) trace->loaded = path;
    return library;
}

// The installation directory's kernel library, per the settings file.
void* load_installed(const Environment& env, Trace* trace)
{
    const std::optional<std::string> settings = settings_file_path(env.xdg_config_home, env.home);
    if (!settings) return nullptr;
    if (trace) trace->settings_read = true;
    std::optional<std::string> directory = read_setting(*settings, "Install", "Path");
    if (!directory || directory->empty()) return nullptr;
    if (directory->back() != '/') *directory += '/';
    return load(*directory + kInstalledName, trace);
}

int fail(const Environment& env, void* library, Trace* trace)
{
    if (library) {
        dlclose(library);
        if (trace) trace->released = true;
    }
    report_launch_error(env.display);
    return kLaunchFailed;
}

}  // namespace

std::string executable_path()
{
    char buffer[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buffer) return {};
    return std::string(buffer, static_cast<std::size_t>(n));
}

int launch(const Environment& env, const void* image, Trace* trace)
{
    const std::string directory = directory_of(real_path(env.executable));
    void* library = directory.empty() ? nullptr : load(directory + kBesideName, trace);
    if (!library) library = load_installed(env, trace);
    if (!library) return fail(env, nullptr, trace);

    auto get_new_sock = reinterpret_cast<GetNewSockFn>(dlsym(library, kEntryName));
    if (!get_new_sock) return fail(env, library, trace);
    const std::uintptr_t start = get_new_sock(kEntryMagic);
    if (start == 0) return fail(env, library, trace);
    reinterpret_cast<StartFn>(start)(image);
    return 0;
}

}  // namespace cu::launcher
