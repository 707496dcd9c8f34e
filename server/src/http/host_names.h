// The names a request may give in its Host header (or in the authority of an absolute target):
// the names the service is reached by. Any other name is refused, so that a web page whose own
// name is made to resolve to this machine cannot read the service from a user's browser.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace cumulo::server {

// A request target in absolute form ("http://authority/path?query") taken apart: its
// authority, which names the service in place of the Host header, and the target in origin
// form ("/path?query"). nullopt for any other form.
struct AbsoluteTarget {
    std::string authority;  // empty when the target has none, or holds user information
    std::string origin_form;
};
std::optional<AbsoluteTarget> read_absolute_target(std::string_view target);

class HostNames {
public:
    // The address the service listens on, with and without its port; for a loopback or
    // wildcard address also localhost, 127.0.0.1 and [::1], each with and without the port.
    void listen_on(const std::string& address, int port);
    // A further name, served with and without the listen port; "NAME:PORT" is served as given
    // only (a proxy in front may reach the service on another port).
    void add(std::string_view name);
    // Whether `authority` ("name", "name:port", "[v6]" or "[v6]:port") is one of them; names
    // are compared without regard to letter case.
    bool serves(std::string_view authority) const;

private:
    void add_with_and_without_port(std::string name);

    int port_ = 0;
    std::set<std::string, std::less<>> served_;
};

}  // namespace cumulo::server
