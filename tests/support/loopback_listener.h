// A listening socket on 127.0.0.1 at a port the system picks, for the tests'
// loopback server.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>
#include <string>

namespace cu::test {

struct LoopbackListener {
    int fd = -1;
    std::uint16_t port = 0;
};

// Throws naming `who` when the socket cannot be had.
inline LoopbackListener listen_on_loopback(const std::string& who, int backlog)
{
    LoopbackListener listener;
    listener.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener.fd < 0 || ::bind(listener.fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener.fd, backlog) != 0 ||
        ::getsockname(listener.fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (listener.fd >= 0) ::close(listener.fd);
        throw std::runtime_error(who + ": cannot listen on 127.0.0.1");
    }
    listener.port = ntohs(address.sin_port);
    return listener;
}

}  // namespace cu::test
