// A TCP relay on 127.0.0.1 at a port the system picks, passing bytes both ways to a server, that a
// test can cut: while cut, its connections are closed and new ones closed at once, as a server
// that went away; once restored, it relays again. It stands for the network to a database.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

class TcpRelay {
public:
    explicit TcpRelay(std::uint16_t target_port) : target_port_(target_port)
    {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = loopback(0);
        socklen_t length = sizeof address;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener_, 64) != 0
            || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("the relay cannot listen");
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~TcpRelay()
    {
        stopping_ = true;
        thread_.join();
        close_all();
        ::close(listener_);
    }
    TcpRelay(const TcpRelay&) = delete;
    TcpRelay& operator=(const TcpRelay&) = delete;

    std::uint16_t port() const { return port_; }
    void cut(bool cut) { cut_ = cut; }

private:
    static sockaddr_in loopback(std::uint16_t port)
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return address;
    }

    void close_all()
    {
        for (auto [client, server] : pairs_) {
            ::close(client);
            ::close(server);
        }
        pairs_.clear();
    }

    void accept_one()
    {
        int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0)
            return;
        if (cut_) {
            ::close(client);
            return;
        }
        int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = loopback(target_port_);
        if (::connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(client);
            ::close(server);
            return;
        }
        pairs_.emplace_back(client, server);
    }

    // Passes what `from` has to `to`; false when either side is done.
    static bool pass(int from, int to)
    {
        char buffer[65536];
        ssize_t got = ::read(from, buffer, sizeof buffer);
        if (got <= 0)
            return false;
        for (ssize_t sent = 0; sent < got;) {
            ssize_t wrote = ::send(to, buffer + sent, static_cast<std::size_t>(got - sent), MSG_NOSIGNAL);
            if (wrote <= 0)
                return false;
            sent += wrote;
        }
        return true;
    }

    void run()
    {
        while (!stopping_) {
            if (cut_)
                close_all();
            std::vector<pollfd> wanted{{listener_, POLLIN, 0}};
            for (auto [client, server] : pairs_) {
                wanted.push_back({client, POLLIN, 0});
                wanted.push_back({server, POLLIN, 0});
            }
            if (::poll(wanted.data(), wanted.size(), 20) <= 0)
                continue;
            if (wanted[0].revents)
                accept_one();
            std::vector<std::pair<int, int>> open;
            for (std::size_t i = 0; i < (wanted.size() - 1) / 2; ++i) {
                auto [client, server] = pairs_[i];
                bool alive = true;
                if (wanted[1 + 2 * i].revents)
                    alive = pass(client, server);
                if (alive && wanted[2 + 2 * i].revents)
                    alive = pass(server, client);
                if (alive) {
                    open.emplace_back(client, server);
                } else {
                    ::close(client);
                    ::close(server);
                }
            }
            // Pairs accepted in this round came after the polled ones.
            open.insert(open.end(), pairs_.begin() + static_cast<std::ptrdiff_t>((wanted.size() - 1) / 2), pairs_.end());
            pairs_ = std::move(open);
        }
    }

    std::uint16_t target_port_;
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> cut_ = false;
    std::atomic<bool> stopping_ = false;
    std::vector<std::pair<int, int>> pairs_;  // the relay thread's own
    std::thread thread_;
};
