// A client that sends exactly the bytes it is given, as a hostile one would, and reads what
// the service answers.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <string_view>

using Clock = std::chrono::steady_clock;

inline double seconds_since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// One connection to 127.0.0.1:port, closed with the object.
class RawConnection {
public:
    // `source`: the loopback address the connection comes from (any of 127.0.0.0/8).
    explicit RawConnection(int port, const char* source = nullptr)
    {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ >= 0 && source) {
            sockaddr_in from{};
            from.sin_family = AF_INET;
            inet_pton(AF_INET, source, &from.sin_addr);
            if (bind(fd_, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) {
                ::close(fd_);
                fd_ = -1;
            }
        }
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~RawConnection()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    bool connected() const { return fd_ >= 0; }

    // False once the service has closed the connection (or it failed).
    bool send(std::string_view bytes)
    {
        while (!bytes.empty()) {
            ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (sent <= 0)
                return false;
            bytes.remove_prefix(static_cast<std::size_t>(sent));
        }
        return true;
    }

    // Whether an answer or the end of the connection is there to read, waiting up to `wait`.
    bool readable(std::chrono::milliseconds wait = std::chrono::milliseconds::zero())
    {
        pollfd poll_fd{fd_, POLLIN, 0};
        return poll(&poll_fd, 1, static_cast<int>(wait.count())) > 0;
    }

    // Reads until the service closes the connection or `wait` has passed; `closed` tells which.
    std::string read_all(std::chrono::milliseconds wait, bool* closed = nullptr)
    {
        std::string received;
        Clock::time_point end = Clock::now() + wait;
        bool ended = false;
        while (!ended && Clock::now() < end) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
            if (!readable(left))
                break;
            char chunk[16384];
            ssize_t got = recv(fd_, chunk, sizeof chunk, 0);
            if (got <= 0)
                ended = true;
            else
                received.append(chunk, static_cast<std::size_t>(got));
        }
        if (closed)
            *closed = ended;
        return received;
    }

    // Reads until `count` answers have arrived whole (each with its Content-Length), the
    // connection closes or `wait` passes.
    std::string read_answers(int count, std::chrono::milliseconds wait)
    {
        std::string received;
        Clock::time_point end = Clock::now() + wait;
        while (answers_in(received) < count && Clock::now() < end) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
            if (!readable(left))
                break;
            char chunk[16384];
            ssize_t got = recv(fd_, chunk, sizeof chunk, 0);
            if (got <= 0)
                break;
            received.append(chunk, static_cast<std::size_t>(got));
        }
        return received;
    }

    // Answers complete in `text`, by their Content-Length (bodies of HEAD answers not counted).
    static int answers_in(std::string_view text)
    {
        int answers = 0;
        for (;;) {
            std::size_t head_end = text.find("\r\n\r\n");
            if (head_end == std::string_view::npos)
                return answers;
            std::size_t length_at = text.substr(0, head_end).find("Content-Length: ");
            std::size_t length = length_at == std::string_view::npos
                                     ? 0
                                     : std::stoul(std::string(text.substr(length_at + 16, 20)));
            if (text.size() < head_end + 4 + length)
                return answers;
            text.remove_prefix(head_end + 4 + length);
            ++answers;
        }
    }

private:
    int fd_ = -1;
};

// The status of the first answer in `text`, or 0.
inline int status_of(std::string_view text)
{
    if (!text.starts_with("HTTP/1.") || text.size() < 12)
        return 0;
    return std::atoi(std::string(text.substr(9, 3)).c_str());
}
