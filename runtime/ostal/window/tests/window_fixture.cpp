#include "window_fixture.h"

#include <QApplication>
#include <QWidget>

#include <atomic>
#include <chrono>
#include <thread>

#include "window_api.h"
#include "worker.h"

namespace cu::window::test {
namespace {

std::function<void()> worker_body;
std::atomic<bool> worker_done{false};

void worker_routine()
{
    worker_body();
    worker_done = true;
}

}  // namespace

void run_on_worker(std::function<void()> body)
{
    worker_body = std::move(body);
    worker_done = false;
    const std::uint32_t handle = cu::start_worker(reinterpret_cast<std::uint64_t>(&worker_routine));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!worker_done && std::chrono::steady_clock::now() < deadline) {
        QApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    // What it queued last, without waiting, is still to run.
    QApplication::processEvents();
    cu::close_worker(handle);
    ASSERT_TRUE(worker_done) << "the worker did not finish";
}

void OpenWindow::SetUp()
{
    for (auto& calls : handler_calls) calls = 0;
    const std::vector<std::uint8_t> bytes = image::write_form(with_stand_in_handlers(program_form()));
    set_layout(bytes, test_code_base());
    open_start_window(kWindow);
    QApplication::setQuitOnLastWindowClosed(false);
    ASSERT_NE(unit_widget(kWindowUnit), nullptr);
}

void OpenWindow::TearDown()
{
    set_modal_hook({});
    if (QWidget* window = unit_widget(kWindowUnit)) window->close();
    // Runs what workers left queued, then the window's deferred deletion.
    QApplication::processEvents();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

}  // namespace cu::window::test
