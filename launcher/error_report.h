// The launcher's one error message.
#pragma once

namespace cu::launcher {

inline constexpr const char* kErrorText = "Not found the kernel library or the kernel library is invalid!";
inline constexpr const char* kErrorCaption = "Error";

// Prints the message on stderr; when `display` is set, also shows it in a
// dialog (xmessage or zenity, whichever is installed, started without a
// shell) and waits until it is dismissed. Best effort: no dialog program, no
// dialog.
void report_launch_error(const char* display);

}  // namespace cu::launcher
