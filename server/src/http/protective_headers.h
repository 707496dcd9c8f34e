// Header lines sent on every answer of the service (pages, JSON, refusals): they tell a browser
// not to guess content types, not to run or load anything the service did not serve itself,
// not to show the service inside another site's frame and not to pass its addresses on.
#pragma once

#include <array>
#include <string_view>

namespace cumulo::server {

// The one place the service's content policy is written. Pages may use a stylesheet and a
// script served by the service itself; nothing inline, nothing from elsewhere.
constexpr std::string_view content_security_policy =
    "default-src 'none'; style-src 'self'; script-src 'self'; img-src 'self'; form-action 'self'; "
    "base-uri 'none'; frame-ancestors 'none'";

struct HeaderLine {
    std::string_view name;
    std::string_view value;
};

constexpr std::array<HeaderLine, 4> protective_headers = {{
    {"X-Content-Type-Options", "nosniff"},
    {"Content-Security-Policy", content_security_policy},
    {"X-Frame-Options", "DENY"},
    {"Referrer-Policy", "no-referrer"},
}};

}  // namespace cumulo::server
