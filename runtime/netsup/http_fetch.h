// HTTP GET for the netsup library, on libcurl.
#pragma once
#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace cu::netsup {

struct FetchLimits {
    std::chrono::milliseconds connect_time{10'000};
    std::chrono::milliseconds total_time{60'000};
    std::size_t body_size = 32u << 20;
};

// The environment variable that sends a host to another address, in curl's
// CONNECT_TO form: "HOST:PORT:CONNECT-TO-HOST:CONNECT-TO-PORT", several
// separated by commas.
inline constexpr const char* connect_to_variable = "CUMULO_CONNECT_TO";

// The body of a successful GET of `address`; nothing when the transfer fails,
// the server answers with an error status, a limit is passed, or the calling
// worker is asked to stop (which ends even a stalled transfer at once).
// Proxy settings come from the environment, as curl reads them.
std::optional<std::string> http_get(std::string_view address, const FetchLimits& limits = {});

}  // namespace cu::netsup
