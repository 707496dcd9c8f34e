// Opening a web address in the user's default browser.
#pragma once
#include <string>

namespace cu::sysbind {

// True for an http or https address, the only kind handed to a browser: any
// other scheme (file:, a desktop entry, a bare option such as "--help") could
// start something other than a browser.
bool is_web_address(const std::string& utf8_address);

// Opens the address through the GUI toolkit when an application exists on
// the calling thread and the platform can open addresses, else through
// `xdg-open`, started without a shell with the address as its one argument.
// False when the address is refused or nothing could be started.
bool open_address(const std::string& utf8_address);

}  // namespace cu::sysbind
