// The tests' HTTP server on 127.0.0.1 at a port the system picks. Each
// connection carries one request: the server reads its head, records the
// target, and sends a reply given as raw bytes, so it can answer the way a
// proper service does, or send bytes that are no proper answer, cut the
// transfer, drip it slowly, hold it open, or never answer. Requests can also
// be held unanswered until the test lets them go. Serves each connection on
// its own thread and counts the connections still open, so a test can tell
// whether the client let go of every one.
#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace cu::test {

class LoopbackServer {
public:
    // What a request gets.
    struct Reply {
        std::string bytes;                   // everything sent, head included...
        std::size_t filler = 0;              // ...then this many bytes 'x' (a huge body not held in memory)
        std::size_t cut_after = SIZE_MAX;    // send no more than this many bytes
        std::size_t piece = 0;               // when not 0: send this many bytes at a time...
        std::chrono::milliseconds pause{0};  // ...with this pause between pieces
        bool stalled = false;                // once sent, hold the connection open until the client
                                             // leaves (else close it at once)

        // Bytes and filler together (at most SIZE_MAX).
        std::size_t size() const { return filler > SIZE_MAX - bytes.size() ? SIZE_MAX : bytes.size() + filler; }
        // What follows `offset` (< size()), as far as one buffer holds it.
        std::string_view from(std::size_t offset) const;
    };

    LoopbackServer();
    // Ends every connection still open and waits for their threads.
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    std::uint16_t port() const { return port_; }
    // "http://127.0.0.1:<port><path>"
    std::string url(const std::string& path) const;

    // What the following requests get, unless their path has a reply of its
    // own. At first: ok("").
    void set_reply(Reply reply);
    // set_reply(ok(body)).
    void set_answer(const std::string& body);
    // What the following requests for `path` (the target without its query) get.
    void set_reply_for(const std::string& path, Reply reply);

    // When set, requests get no answer until it is cleared (they then get the
    // reply of that moment) or their client leaves.
    void set_stalled(bool stalled);

    // A well-formed 200 answer with `body` (and its true Content-Length).
    static std::string ok(const std::string& body, const std::string& content_type = "application/json");

    // Request targets ("/api/v1/?key=..."), in arrival order.
    std::vector<std::string> requests() const;
    // When the last request's head had been read (a benchmark's clock).
    std::chrono::steady_clock::time_point last_request_time() const;
    // Connections whose client hung up while its request was held by set_stalled.
    int abandoned_stalled() const { return abandoned_stalled_; }
    int open_connections() const { return open_; }
    int connections() const { return accepted_; }

private:
    void accept_loop();
    void serve(int fd);
    // The reply of this moment for a request target.
    std::shared_ptr<const Reply> reply_for(const std::string& target) const;
    // Waits while stalled; false when the client left (or the server ends) meanwhile.
    bool wait_while_stalled(int fd);
    void send_reply(int fd, const Reply& reply);

    int listen_fd_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stopping_ = false;
    std::atomic<int> open_ = 0;
    std::atomic<int> accepted_ = 0;
    std::atomic<int> abandoned_stalled_ = 0;
    mutable std::mutex mutex_;
    std::condition_variable changed_;  // stalled_ cleared, or a connection ended
    std::shared_ptr<const Reply> reply_ = std::make_shared<const Reply>(Reply{ok("")});
    std::map<std::string, std::shared_ptr<const Reply>> replies_by_path_;
    bool stalled_ = false;
    std::vector<std::string> requests_;
    std::chrono::steady_clock::time_point last_request_time_;
    std::set<int> open_fds_;
    std::thread acceptor_;
};

}  // namespace cu::test
