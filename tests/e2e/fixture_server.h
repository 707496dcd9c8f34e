// A local HTTP server for end-to-end runs: answers every GET with the body
// the test set, or holds the request unanswered (a stalled service). Records
// each request target. Listens on 127.0.0.1 at an ephemeral port.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class FixtureServer {
public:
    FixtureServer();
    ~FixtureServer();
    FixtureServer(const FixtureServer&) = delete;
    FixtureServer& operator=(const FixtureServer&) = delete;

    std::uint16_t port() const { return port_; }

    // The body of every following answer (status 200, JSON content type).
    void set_answer(std::string body);
    // When set, requests get no answer until cleared (or the client leaves).
    void set_stalled(bool stalled);

    // Request targets ("/api/v1/?key=..."), in arrival order.
    std::vector<std::string> requests() const;
    // Connections whose client hung up while its request was held stalled.
    int abandoned_stalled() const { return abandoned_stalled_; }

private:
    void accept_loop();
    void serve(int fd);
    // Waits while stalled; false when the client closed the connection meanwhile.
    bool wait_while_stalled(int fd);

    int listen_fd_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stopping_ = false;
    std::atomic<int> abandoned_stalled_ = 0;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::string answer_;
    bool stalled_ = false;
    std::vector<std::string> requests_;
    std::vector<std::thread> connections_;
    std::thread acceptor_;
};
