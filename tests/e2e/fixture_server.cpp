#include "fixture_server.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "loopback_listener.h"

FixtureServer::FixtureServer()
{
    const cu::test::LoopbackListener listener = cu::test::listen_on_loopback("fixture server", 16);
    listen_fd_ = listener.fd;
    port_ = listener.port;
    acceptor_ = std::thread([this] { accept_loop(); });
}

FixtureServer::~FixtureServer()
{
    stopping_ = true;
    changed_.notify_all();
    ::shutdown(listen_fd_, SHUT_RDWR);
    acceptor_.join();
    ::close(listen_fd_);
    for (auto& connection : connections_) connection.join();
}

void FixtureServer::set_answer(std::string body)
{
    std::lock_guard lock(mutex_);
    answer_ = std::move(body);
}

void FixtureServer::set_stalled(bool stalled)
{
    {
        std::lock_guard lock(mutex_);
        stalled_ = stalled;
    }
    changed_.notify_all();
}

std::vector<std::string> FixtureServer::requests() const
{
    std::lock_guard lock(mutex_);
    return requests_;
}

void FixtureServer::accept_loop()
{
    while (!stopping_) {
        const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;  // shut down (stopping_) or a transient failure
        std::lock_guard lock(mutex_);
        connections_.emplace_back([this, fd] { serve(fd); });
    }
}

bool FixtureServer::wait_while_stalled(int fd)
{
    std::unique_lock lock(mutex_);
    while (stalled_ && !stopping_) {
        changed_.wait_for(lock, std::chrono::milliseconds(10));
        pollfd p{fd, POLLIN, 0};
        char byte;
        if (::poll(&p, 1, 0) == 1 && ::recv(fd, &byte, 1, MSG_PEEK) <= 0) return false;
    }
    return !stopping_;
}

// One request per connection: read the head, answer, close.
void FixtureServer::serve(int fd)
{
    std::string head;
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        head.append(buffer, static_cast<std::size_t>(n));
    }
    const auto target_start = head.find(' ');
    const auto target_end = head.find(' ', target_start + 1);
    if (target_start != std::string::npos && target_end != std::string::npos) {
        std::lock_guard lock(mutex_);
        requests_.push_back(head.substr(target_start + 1, target_end - target_start - 1));
    }

    if (!wait_while_stalled(fd)) {
        if (!stopping_) ++abandoned_stalled_;
        ::close(fd);
        return;
    }
    std::string body;
    {
        std::lock_guard lock(mutex_);
        body = answer_;
    }
    std::string response = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\n"
                           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    for (std::size_t sent = 0; sent < response.size();) {
        const ssize_t n = ::send(fd, response.data() + sent, response.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<std::size_t>(n);
    }
    ::close(fd);
}
