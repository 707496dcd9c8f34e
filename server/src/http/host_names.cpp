#include "http/host_names.h"

// Boost 1.74's Asio uses std::exchange without including <utility> itself.
#include <utility>

#include <boost/asio/ip/address.hpp>

#include <algorithm>

namespace cumulo::server {

namespace {

std::string lower_case(std::string_view text)
{
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : static_cast<char>(c); });
    return lower;
}

// An IPv6 address as a Host gives it: in brackets.
std::string as_host(const std::string& address)
{
    return address.find(':') != std::string::npos && !address.starts_with('[') ? "[" + address + "]" : address;
}

// "name:digits" or "[v6]:digits"; the brackets of a bare IPv6 name hold colons of their own.
bool has_port(std::string_view name)
{
    std::size_t colon = name.rfind(':');
    return colon != std::string_view::npos && colon + 1 < name.size() && name.find(']', colon) == std::string_view::npos
           && std::all_of(name.begin() + static_cast<std::ptrdiff_t>(colon) + 1, name.end(),
                          [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::optional<AbsoluteTarget> read_absolute_target(std::string_view target)
{
    constexpr std::string_view scheme = "http://";
    if (target.size() < scheme.size() || lower_case(target.substr(0, scheme.size())) != scheme)
        return std::nullopt;
    target.remove_prefix(scheme.size());
    std::size_t authority_end = std::min(target.find_first_of("/?#"), target.size());
    AbsoluteTarget absolute;
    std::string_view authority = target.substr(0, authority_end);
    if (authority.find('@') == std::string_view::npos)
        absolute.authority = authority;
    std::string_view rest = target.substr(authority_end);
    absolute.origin_form = rest.starts_with('/') ? std::string(rest) : "/" + std::string(rest);
    return absolute;
}

void HostNames::listen_on(const std::string& address, int port)
{
    port_ = port;
    add_with_and_without_port(as_host(address));
    boost::system::error_code error;
    boost::asio::ip::address parsed = boost::asio::ip::make_address(address, error);
    if (!error && (parsed.is_loopback() || parsed.is_unspecified()))
        for (const char* loopback : {"localhost", "127.0.0.1", "[::1]"})
            add_with_and_without_port(loopback);
}

void HostNames::add(std::string_view name)
{
    if (has_port(name))
        served_.insert(lower_case(name));
    else
        add_with_and_without_port(as_host(std::string(name)));
}

void HostNames::add_with_and_without_port(std::string name)
{
    name = lower_case(name);
    served_.insert(name + ':' + std::to_string(port_));
    served_.insert(std::move(name));
}

bool HostNames::serves(std::string_view authority) const
{
    return !authority.empty() && served_.contains(lower_case(authority));
}

}  // namespace cumulo::server
