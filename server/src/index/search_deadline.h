#pragma once

#include <stdexcept>

struct SearchDeadlineExceeded : std::runtime_error { using std::runtime_error::runtime_error; };
