// The process around a reliability run: the real runtime and program image
// in this process under offscreen Qt, the image's service host sent (through
// CUMULO_CONNECT_TO) to the tests' loopback server, and helpers
// that drive one search and read back what the window shows.
#pragma once
#include <QString>
#include <QStringList>

#include <chrono>
#include <string>
#include <vector>

#include "loopback_server.h"
#include "program_window.h"
#include "worker.h"

namespace reliability {

using cu::test::LoopbackServer;

// The service the image's host is sent to: answers as each test sets.
extern LoopbackServer* service;

// Starts the server, sets the environment, loads the runtime and the image
// and opens the window. Allocations made while the program opens are left out
// of leak checks (they belong to the toolkit and the loaded program).
void prepare_program(const char* image_path);
[[noreturn]] void end_program(int status);

extern const QString kIdle, kRunning, kDone, kStopped;

// What the window shows once a search has ended.
struct Outcome {
    QString caption, status;
    bool inputs_enabled = false;
    int rows = 0;
    QStringList first_row;             // number, name, type, size, address
    std::vector<e2e::Modal> modals;
    std::chrono::milliseconds took{0};
    bool ended = false;                // false: the search was still running at the timeout
};

// Types `keyword`, clicks Search and pumps until the caption reads idle again
// (at most `timeout`).
Outcome run_search(const QString& keyword, std::chrono::milliseconds timeout = std::chrono::seconds(30));

// The rows of the result list, every column.
std::vector<QStringList> list_rows();

// Open file descriptors of this process: what each refers to.
std::vector<std::string> open_descriptors();

// True when LeakSanitizer finds no unreachable allocation (always true in a
// build without it).
bool no_leaks_found();

}  // namespace reliability
