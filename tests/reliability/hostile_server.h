// A local HTTP server that answers the way a broken or hostile service might:
// any body (up to tens of megabytes), raw bytes that are no proper answer, a
// body cut off mid-way, an answer paced out slowly, or no answer at all.
// Serves each connection on its own thread and counts the connections still
// open, so a test can tell whether the client let go of every one.
#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

class HostileServer {
public:
    HostileServer();
    ~HostileServer();
    HostileServer(const HostileServer&) = delete;
    HostileServer& operator=(const HostileServer&) = delete;

    std::uint16_t port() const { return port_; }

    // What the following requests get.
    struct Reply {
        std::string bytes;            // everything sent, head included
        std::size_t cut_after = SIZE_MAX;  // close the connection once this many bytes went out
        std::size_t piece = 0;        // when not 0: send this many bytes at a time...
        std::chrono::milliseconds pause{0};  // ...with this pause between pieces
        bool stalled = false;         // send nothing until the client leaves
    };
    void set_reply(Reply reply);

    // A well-formed 200 answer with `body` (and its true Content-Length).
    static std::string ok(const std::string& body);

    int open_connections() const { return open_; }
    int connections() const { return accepted_; }

private:
    void accept_loop();
    void serve(int fd);

    int listen_fd_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<int> open_ = 0;
    std::atomic<int> accepted_ = 0;
    mutable std::mutex mutex_;
    Reply reply_;
};
