#include "hostile_server.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>

#include "loopback_listener.h"

namespace {

// True once the peer has closed its end (or the connection failed).
bool peer_gone(int fd, int wait_ms)
{
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, wait_ms) != 1) return false;
    char byte;
    return ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) <= 0;
}

}  // namespace

HostileServer::HostileServer()
{
    const cu::test::LoopbackListener listener = cu::test::listen_on_loopback("hostile server", 64);
    listen_fd_ = listener.fd;
    port_ = listener.port;
    std::thread([this] { accept_loop(); }).detach();
}

// The tests end the process without tearing anything down; a server object
// that does go away stops accepting and leaves its detached threads to finish.
HostileServer::~HostileServer() { ::shutdown(listen_fd_, SHUT_RDWR); }

void HostileServer::set_reply(Reply reply)
{
    std::lock_guard lock(mutex_);
    reply_ = std::move(reply);
}

std::string HostileServer::ok(const std::string& body)
{
    return "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

void HostileServer::accept_loop()
{
    for (;;) {
        const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINVAL || errno == EBADF) return;  // shut down
            continue;
        }
        ++accepted_;
        ++open_;
        std::thread([this, fd] { serve(fd); }).detach();
    }
}

// One request per connection: read the head, reply as set, close.
void HostileServer::serve(int fd)
{
    std::string head;
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        head.append(buffer, static_cast<std::size_t>(n));
    }
    Reply reply;
    {
        std::lock_guard lock(mutex_);
        reply = reply_;
    }
    if (reply.stalled) {
        while (!peer_gone(fd, 100)) {
        }
    } else {
        const std::size_t total = std::min(reply.bytes.size(), reply.cut_after);
        const std::size_t piece = reply.piece ? reply.piece : total;
        for (std::size_t sent = 0; sent < total;) {
            const ssize_t n = ::send(fd, reply.bytes.data() + sent, std::min(piece, total - sent), MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<std::size_t>(n);
            if (reply.pause.count() && sent < total && peer_gone(fd, static_cast<int>(reply.pause.count()))) break;
        }
    }
    ::close(fd);
    --open_;
}
