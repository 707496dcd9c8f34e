// A fixture that opens the program's main window from its layout, with
// stand-in handlers, and closes it again afterwards; and a way to make calls
// from a worker.
#pragma once
#include <gtest/gtest.h>

#include <functional>

#include "program_layout.h"

namespace cu::window::test {

class OpenWindow : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

// Runs `body` on a worker started through the runtime, while this (GUI)
// thread keeps handling events until the body has returned.
void run_on_worker(std::function<void()> body);

// Where a test's calls come from.
enum class Caller { gui_thread, worker };
inline void call_from(Caller caller, std::function<void()> body)
{
    if (caller == Caller::gui_thread) body();
    else run_on_worker(std::move(body));
}
inline const char* caller_name(const ::testing::TestParamInfo<Caller>& info)
{
    return info.param == Caller::gui_thread ? "GuiThread" : "Worker";
}

}  // namespace cu::window::test
