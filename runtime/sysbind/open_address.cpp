#include "open_address.h"

#include <spawn.h>
#include <sys/wait.h>

#include <QCoreApplication>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QThread>
#include <QUrl>
#include <thread>

extern char** environ;

namespace cu::sysbind {
namespace {

bool starts_with_ignoring_case(const std::string& text, std::string_view prefix)
{
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        const char c = text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] + 32) : text[i];
        if (c != prefix[i]) return false;
    }
    return true;
}

// The toolkit's way, only on the application's own thread.
bool open_with_toolkit(const std::string& address)
{
    auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    if (!app || QThread::currentThread() != app->thread()) return false;
    return QDesktopServices::openUrl(QUrl::fromEncoded(QByteArray::fromStdString(address), QUrl::StrictMode));
}

bool open_with_xdg_open(const std::string& address)
{
    std::string program = "xdg-open", argument = address;
    char* argv[] = {program.data(), argument.data(), nullptr};
    pid_t child = 0;
    if (posix_spawnp(&child, "xdg-open", nullptr, nullptr, argv, environ) != 0) return false;
    // xdg-open may live as long as the browser it starts: reap it without waiting here.
    std::thread([child] { waitpid(child, nullptr, 0); }).detach();
    return true;
}

}  // namespace

bool is_web_address(const std::string& address)
{
    const bool web = starts_with_ignoring_case(address, "http://") || starts_with_ignoring_case(address, "https://");
    return web && address.find_first_of(std::string_view("\0\r\n", 3)) == std::string::npos;
}

bool open_address(const std::string& address)
{
    if (!is_web_address(address)) return false;
    return open_with_toolkit(address) || open_with_xdg_open(address);
}

}  // namespace cu::sysbind
