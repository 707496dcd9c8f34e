#include "loopback_server.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "loopback_listener.h"

namespace cu::test {
namespace {

// True once the peer has closed its end (or the connection failed, or the
// server shut it down); waits at most `wait_ms` for that.
bool peer_gone(int fd, int wait_ms)
{
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, wait_ms) != 1) return false;
    char byte;
    return ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) <= 0;
}

// The request head, up to its blank line (or what came before the client
// stopped sending).
std::string read_head(int fd)
{
    std::string head;
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        head.append(buffer, static_cast<std::size_t>(n));
    }
    return head;
}

// "GET /a?b HTTP/1.1" -> "/a?b"; empty when the head has no request line.
std::string request_target(const std::string& head)
{
    const auto start = head.find(' ');
    if (start == std::string::npos) return {};
    const auto end = head.find(' ', start + 1);
    if (end == std::string::npos) return {};
    return head.substr(start + 1, end - start - 1);
}

}  // namespace

std::string_view LoopbackServer::Reply::from(std::size_t offset) const
{
    if (offset < bytes.size()) return std::string_view(bytes).substr(offset);
    static const std::string filler_block(1 << 20, 'x');
    return std::string_view(filler_block).substr(0, size() - offset);
}

LoopbackServer::LoopbackServer()
{
    const LoopbackListener listener = listen_on_loopback("loopback server", 64);
    listen_fd_ = listener.fd;
    port_ = listener.port;
    acceptor_ = std::thread([this] { accept_loop(); });
}

LoopbackServer::~LoopbackServer()
{
    stopping_ = true;
    ::shutdown(listen_fd_, SHUT_RDWR);
    acceptor_.join();
    ::close(listen_fd_);
    std::unique_lock lock(mutex_);
    // A shut-down connection wakes whatever its thread waits for: the head,
    // a send, a pause, a stall.
    for (int fd : open_fds_) ::shutdown(fd, SHUT_RDWR);
    changed_.notify_all();
    changed_.wait(lock, [this] { return open_ == 0; });
}

std::string LoopbackServer::url(const std::string& path) const
{
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void LoopbackServer::set_reply(Reply reply)
{
    auto shared = std::make_shared<const Reply>(std::move(reply));
    std::lock_guard lock(mutex_);
    reply_ = std::move(shared);
}

void LoopbackServer::set_answer(const std::string& body) { set_reply({ok(body)}); }

void LoopbackServer::set_reply_for(const std::string& path, Reply reply)
{
    auto shared = std::make_shared<const Reply>(std::move(reply));
    std::lock_guard lock(mutex_);
    replies_by_path_[path] = std::move(shared);
}

void LoopbackServer::set_stalled(bool stalled)
{
    {
        std::lock_guard lock(mutex_);
        stalled_ = stalled;
    }
    changed_.notify_all();
}

std::string LoopbackServer::ok(const std::string& body, const std::string& content_type)
{
    return "HTTP/1.1 200 OK\r\nContent-Type: " + content_type + "\r\nConnection: close\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::vector<std::string> LoopbackServer::requests() const
{
    std::lock_guard lock(mutex_);
    return requests_;
}

std::chrono::steady_clock::time_point LoopbackServer::last_request_time() const
{
    std::lock_guard lock(mutex_);
    return last_request_time_;
}

void LoopbackServer::accept_loop()
{
    while (!stopping_) {
        const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;  // shut down (stopping_) or a transient failure
        {
            std::lock_guard lock(mutex_);
            open_fds_.insert(fd);
            ++open_;
            ++accepted_;
        }
        std::thread([this, fd] { serve(fd); }).detach();
    }
}

std::shared_ptr<const LoopbackServer::Reply> LoopbackServer::reply_for(const std::string& target) const
{
    std::lock_guard lock(mutex_);
    const auto own = replies_by_path_.find(target.substr(0, target.find('?')));
    return own != replies_by_path_.end() ? own->second : reply_;
}

bool LoopbackServer::wait_while_stalled(int fd)
{
    std::unique_lock lock(mutex_);
    while (stalled_ && !stopping_) {
        changed_.wait_for(lock, std::chrono::milliseconds(10));
        if (peer_gone(fd, 0)) return false;
    }
    return !stopping_;
}

void LoopbackServer::send_reply(int fd, const Reply& reply)
{
    const std::size_t total = std::min(reply.size(), reply.cut_after);
    const std::size_t piece = reply.piece ? reply.piece : total;
    for (std::size_t sent = 0; sent < total;) {
        const std::string_view next = reply.from(sent);
        const ssize_t n = ::send(fd, next.data(), std::min({next.size(), piece, total - sent}), MSG_NOSIGNAL);
        if (n <= 0) return;
        sent += static_cast<std::size_t>(n);
        if (reply.pause.count() && sent < total && peer_gone(fd, static_cast<int>(reply.pause.count()))) return;
    }
    if (reply.stalled)
        while (!peer_gone(fd, 100)) {
        }
}

// One request per connection: read the head, reply, close. The last step
// touches the server under its lock, so the destructor, once it sees no
// connection open, outlives every use of it.
void LoopbackServer::serve(int fd)
{
    const std::string target = request_target(read_head(fd));
    if (!target.empty()) {
        std::lock_guard lock(mutex_);
        requests_.push_back(target);
        last_request_time_ = std::chrono::steady_clock::now();
    }
    if (wait_while_stalled(fd))
        send_reply(fd, *reply_for(target));
    else if (!stopping_)
        ++abandoned_stalled_;
    std::lock_guard lock(mutex_);
    open_fds_.erase(fd);
    ::close(fd);
    --open_;
    changed_.notify_all();
}

}  // namespace cu::test
