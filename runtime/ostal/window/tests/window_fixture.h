// The main window's layout as records, built here the way the image stores it,
// and a fixture that opens it with handlers that count their calls.
#pragma once
#include <gtest/gtest.h>

#include <QString>

#include <atomic>
#include <functional>
#include <cstdint>
#include <string>

#include "form.h"

namespace cu::window::test {

inline constexpr std::uint32_t kWindow = 0x52010001;
inline constexpr std::uint32_t kWindowUnit = 0x06010000;
inline constexpr std::uint32_t kMenuRoot = 0x2601010C;
inline constexpr std::uint32_t kMenuOpen = 0x2601010D;
inline constexpr std::uint32_t kMenuCopy = 0x26010112;
inline constexpr std::uint32_t kMenuAbout = 0x2601011B;
inline constexpr std::uint32_t kStatusLabel = 0x16010105;
inline constexpr std::uint32_t kTypeLabel = 0x16010014;
inline constexpr std::uint32_t kCombo = 0x1601000F;
inline constexpr std::uint32_t kList = 0x16010009;
inline constexpr std::uint32_t kButton = 0x16010008;
inline constexpr std::uint32_t kKeywordLabel = 0x16010003;
inline constexpr std::uint32_t kKeywordBox = 0x16010002;

// The handlers the layout binds; each counts its calls.
enum Handler { kToggleSearch, kShowListMenu, kOpenShare, kCopyShare, kShowAbout, kHandlerCount };
extern std::atomic<int> handler_calls[kHandlerCount];

// GBK bytes of a UTF-8 literal.
std::string gbk(const char* utf8);

// The window record as the layout gives it, handlers relative to code_base().
image::Form main_window_form();
const void* code_base();

// Loads the layout, opens the window, and closes it again afterwards.
class OpenWindow : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

}  // namespace cu::window::test

namespace cu::window::test {

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
