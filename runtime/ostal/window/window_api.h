// What the kernel's services ask of the window (implemented in this folder).
// Every function may be called from the GUI thread or from a worker; a
// worker's call is handed to the GUI thread.
#pragma once
#include <cstdint>
#include <span>

namespace cu::window {

// The "form" section's data as loaded, and the code base for handler offsets.
void set_layout(std::span<const std::uint8_t> form, const void* code_base);

void open_start_window(std::uint32_t window_id);  // OpenStartWindow
void run_message_loop();                          // RunMessageLoop: returns when the windows are gone
std::uint64_t read_unit_property(std::uint32_t window, std::uint32_t unit, std::uint32_t property);
void write_unit_property(std::uint32_t window, std::uint32_t unit, std::uint32_t property, std::uint64_t value);

}  // namespace cu::window
