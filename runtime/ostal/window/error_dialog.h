// Once a window is up, the runtime's fatal errors are shown in a dialog as
// well before the program ends.
#pragma once

namespace cu::window {

void show_fatal_errors_in_a_dialog();

}  // namespace cu::window
