// How a search tells its caller that it ran out of time: it throws SearchDeadlineExceeded once
// the deadline it was given has passed, and the service answers 503.
#pragma once

#include <stdexcept>

namespace cumulo::server {

struct SearchDeadlineExceeded : std::runtime_error {
    using std::runtime_error::runtime_error;
};

}  // namespace cumulo::server
