// The process around an end-to-end run: the tests' loopback server as the
// service (the image's service host is sent there through CUMULO_CONNECT_TO), a
// fake browser on PATH that records its argument, offscreen Qt.
#pragma once
#include <filesystem>

#include "loopback_server.h"

namespace e2e {

// The share-search service the image's host is sent to.
extern cu::test::LoopbackServer* service;
// Where the fake browser writes the address it was given.
extern std::filesystem::path browser_record;

// Starts the service, sets the environment, loads the runtime and the
// image at `image_path` and opens the window. Once per process.
void prepare_program(const char* image_path);
// Removes the scratch files and ends the process with `status`, without
// tearing down the runtime (the program itself ends the same way).
[[noreturn]] void end_program(int status);

}  // namespace e2e
