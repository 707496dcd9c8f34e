#include "reliability_env.h"

#include <dirent.h>
#include <unistd.h>

#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#define RELIABILITY_LSAN 1
#endif

namespace reliability {

LoopbackServer* service = nullptr;

const QString kIdle = QString::fromUtf8("搜索");
const QString kRunning = QString::fromUtf8("停止");
const QString kDone = QString::fromUtf8("完成");
const QString kStopped = QString::fromUtf8("终止");

void prepare_program(const char* image_path)
{
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static LoopbackServer server;
    service = &server;
    const std::string connect_to = std::string(E2E_SERVICE_HOST) + ":127.0.0.1:" + std::to_string(server.port());
    ::setenv("CUMULO_CONNECT_TO", connect_to.c_str(), 1);
#ifdef RELIABILITY_LSAN
    __lsan_disable();
#endif
    e2e::open_program(E2E_KERNEL_LIBRARY, image_path);
#ifdef RELIABILITY_LSAN
    __lsan_enable();
#endif
}

void end_program(int status)
{
    std::fflush(nullptr);
    std::_Exit(status);
}

Outcome run_search(const QString& keyword, std::chrono::milliseconds timeout)
{
    e2e::take_modals();
    e2e::keyword_box()->setText(keyword);
    const auto started = std::chrono::steady_clock::now();
    e2e::search_button()->click();
    Outcome out;
    out.ended = e2e::pump_until([] { return e2e::search_button()->text() == kIdle; }, timeout);
    out.took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    const e2e::IdleState state = e2e::idle_state();
    out.caption = state.caption;
    out.status = state.status;
    out.inputs_enabled = state.inputs_enabled;
    out.rows = e2e::result_list()->topLevelItemCount();
    if (out.rows > 0) out.first_row = list_rows().front();
    out.modals = e2e::take_modals();
    return out;
}

std::vector<QStringList> list_rows()
{
    std::vector<QStringList> rows;
    QTreeWidget* list = e2e::result_list();
    for (int r = 0; r < list->topLevelItemCount(); ++r) {
        QStringList cells;
        for (int c = 0; c < 5; ++c) cells << list->topLevelItem(r)->text(c);
        rows.push_back(cells);
    }
    return rows;
}

std::vector<std::string> open_descriptors()
{
    std::vector<std::string> targets;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        targets.push_back(std::filesystem::read_symlink(entry.path(), error).string());
    }
    std::sort(targets.begin(), targets.end());
    return targets;
}

bool no_leaks_found()
{
#ifdef RELIABILITY_LSAN
    return __lsan_do_recoverable_leak_check() == 0;
#else
    return true;
#endif
}

}  // namespace reliability
