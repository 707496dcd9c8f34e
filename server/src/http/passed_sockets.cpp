#include "http/passed_sockets.h"

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <systemd/sd-daemon.h>

namespace cumulo::server {

PassedSockets take_passed_sockets()
{
    PassedSockets passed;
    int count = sd_listen_fds(1);
    if (count < 0) {
        passed.error = std::string("cannot take the sockets systemd passed: ") + std::strerror(-count);
        return passed;
    }
    for (int i = 0; i < count; ++i)
        passed.descriptors.push_back(SD_LISTEN_FDS_START + i);
    return passed;
}

std::string socket_address(int descriptor)
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(descriptor, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return {};
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
        return std::string(text) + ':' + std::to_string(ntohs(v4.sin_port));
    }
    if (address.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
        return '[' + std::string(text) + "]:" + std::to_string(ntohs(v6.sin6_port));
    }
    return {};
}

}  // namespace cumulo::server
