// Stand-ins for the kernel's command modules, its platform layer and the
// window, so the loader and services can be tested on their own.
#include <span>

#include "kernel_modules.h"
#include "values.h"
#include "window_api.h"

namespace {

cu_value kernel_answer(std::uint32_t argc, const cu_value*) { return cu::int_result(static_cast<std::int32_t>(100 + argc)); }
cu_value kernel_throws(std::uint32_t, const cu_value*) { throw 1; }

std::uint64_t add_two(const std::uint64_t* args) { return args[0] + args[1]; }
std::uint64_t first_of_six(const std::uint64_t* args) { return args[0]; }

const cu_command text[] = {{0x130, kernel_answer}, {0x134, kernel_throws}};
const cu_platform_function platform[] = {
    {"kernel32.dll", "MultiByteToWideChar", 6, first_of_six},
    {"test.dll", "AddTwo", 2, add_two},
};

}  // namespace

namespace cu::kernel {
std::span<const cu_command> text_commands() { return text; }
std::span<const cu_command> script_object_commands() { return {}; }
std::span<const cu_command> window_commands() { return {}; }
std::span<const cu_platform_function> platform_functions() { return platform; }
}  // namespace cu::kernel

namespace cu::window {
void set_layout(std::span<const std::uint8_t>, const void*) {}
void open_start_window(std::uint32_t) {}
void run_message_loop() {}
std::uint64_t read_unit_property(std::uint32_t, std::uint32_t unit, std::uint32_t property) { return unit + property; }
void write_unit_property(std::uint32_t, std::uint32_t, std::uint32_t, std::uint64_t) {}
}  // namespace cu::window
