#include "e2e_env.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "program_window.h"

namespace e2e {

cu::test::LoopbackServer* service = nullptr;
std::filesystem::path browser_record;

namespace {

std::filesystem::path scratch;

// A stand-in for xdg-open: writes its one argument to `record` (through a
// rename, so a reader never sees half of it).
std::filesystem::path install_fake_browser(const std::filesystem::path& dir, const std::filesystem::path& record)
{
    std::filesystem::create_directories(dir);
    const auto script = dir / "xdg-open";
    std::ofstream(script) << "#!/bin/sh\nprintf '%s' \"$1\" > '" << record.string() << ".tmp'\nmv '"
                          << record.string() << ".tmp' '" << record.string() << "'\n";
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    return dir;
}

}  // namespace

void prepare_program(const char* image_path)
{
    scratch = std::filesystem::temp_directory_path() / ("cumulo-e2e-" + std::to_string(::getpid()));
    browser_record = scratch / "browser-argument";
    const auto browser_dir = install_fake_browser(scratch / "bin", browser_record);
    const char* path = std::getenv("PATH");
    ::setenv("PATH", (browser_dir.string() + ":" + (path ? path : "/usr/bin:/bin")).c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);

    static cu::test::LoopbackServer server;
    service = &server;
    const std::string connect_to = std::string(E2E_SERVICE_HOST) + ":127.0.0.1:" + std::to_string(server.port());
    ::setenv("CUMULO_CONNECT_TO", connect_to.c_str(), 1);

    open_program(E2E_KERNEL_LIBRARY, image_path);
}

void end_program(int status)
{
    std::error_code ignored;
    std::filesystem::remove_all(scratch, ignored);
    std::fflush(nullptr);
    std::_Exit(status);
}

}  // namespace e2e
