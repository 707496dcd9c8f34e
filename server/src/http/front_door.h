// The service's HTTP/1.1 front door, made for clients that may be hostile. One event loop
// owns every connection, so a connection that is idle, slow or silent costs a socket and a
// timer and never a thread; requests are answered on worker threads: cheap ones on quick
// workers that expensive ones never occupy, expensive searches in turns per client with a
// deadline and at most one per core.
//
// What it accepts: GET and HEAD (405 otherwise), no request body (413), a request head of at
// most max_head_bytes and max_head_lines (431; 414 when the request line alone is too long),
// the whole request within request_time. Pipelined requests are answered in order, one at a
// time. An answer with an ETag gets a 304 without its body when If-None-Match names that ETag;
// Range and the other conditional headers are ignored: answers are always whole. A request
// that cannot be parsed gets a 400 and the connection is closed. A target may come in origin
// or absolute form; the name it reached the service by (the absolute form's authority, or else
// the Host header, which HTTP/1.1 requests must carry once: 400) must be one the service is
// reached by (http/host_names.h), or it gets a 421. Every answer carries the header lines of
// http/protective_headers.h, then its own (HttpAnswer::headers), which replace them.
//
// The one exception is a write (RequestHandler::takes_body): its client must be let in by its
// Authorization header before the body is read (otherwise the handler's refusal, 401); the
// body must come as it is (415 for any Content-Encoding, never inflated), at most
// max_body_bytes (413), with no pause longer than request_time and whole within body_time (the
// connection is closed otherwise). The body is read on the event loop as it arrives, so
// searches go on meanwhile, and the write runs once it is whole, one write at a time.
#pragma once

#include "pages/answer.h"

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace cumulo::server {

// What the front door asks of the service. Both are called for GET and HEAD targets only.
class RequestHandler {
public:
    virtual ~RequestHandler() = default;
    // The answer to `target`. Work that may take long checks `deadline` and throws
    // SearchDeadlineExceeded (search_deadline.h) once it has passed.
    virtual HttpAnswer answer(std::string_view target, std::chrono::steady_clock::time_point deadline) = 0;
    // A refusal or failure (status 4xx or 5xx) in the form the clients of `target` read.
    virtual HttpAnswer refusal(std::string_view target, int status, std::string_view message) = 0;
    // Whether answering `target` takes little time whatever the catalogue holds; called on
    // the event loop, so it must itself be quick. Other requests take turns per client.
    virtual bool is_cheap(std::string_view /*target*/) { return false; }

    // Whether `method` on `target` is a write, whose body the front door reads and hands over.
    virtual bool takes_body(std::string_view /*method*/, std::string_view /*target*/) { return false; }
    // Before a write's body is read: a refusal unless `authorization` (the Authorization
    // header's value, empty when there is none) lets the client write.
    virtual std::optional<HttpAnswer> refuse_writer(std::string_view /*authorization*/) { return std::nullopt; }
    // The answer to a write whose body has arrived whole.
    virtual HttpAnswer write(std::string_view /*method*/, std::string_view target, std::string /*body*/)
    {
        return refusal(target, 405, "nothing is written here");
    }
};

struct FrontDoorLimits {
    std::size_t max_head_bytes = 8 * 1024;
    std::size_t max_head_lines = 100;
    // From the moment a connection waits for a request (its start, or the previous answer
    // sent) until the request's head has arrived whole; an idle keep-alive connection is
    // closed after it too.
    std::chrono::milliseconds request_time{10'000};
    // For sending one answer to a client that does not read it.
    std::chrono::milliseconds write_time{10'000};
    // Open connections; past it a new one replaces the connection that has waited longest
    // for its request, or is closed when every connection is being answered. Lowered to what
    // the process's descriptor limit holds beside the service's own (http/descriptors.h); a
    // request that finds the descriptors used up all the same gets a 503 and the connection
    // idle for longest is closed.
    std::size_t max_connections = 2'000;
    // A cheap request (RequestHandler::is_cheap) runs on a quick worker with this much time;
    // should it need more it starts again on a search worker. Other requests go straight to
    // the search workers, taking turns per client (http/fair_worker_pool.h), so that they
    // never fill the quick workers. On a search worker a request has `search_time` from its
    // arrival and gets a 503 when that runs out (also while it waits for its turn).
    std::chrono::milliseconds quick_time{50};
    std::chrono::milliseconds search_time{3'000};
    // A write's body: at most this many bytes, and whole within body_time of its head.
    std::size_t max_body_bytes = 16 * 1024 * 1024;
    std::chrono::milliseconds body_time{60'000};
    unsigned quick_workers = 0;   // 0: two per core
    unsigned search_workers = 0;  // 0: one per core
};

class FrontDoor {
public:
    explicit FrontDoor(RequestHandler& handler, FrontDoorLimits limits = {});
    ~FrontDoor();
    FrontDoor(const FrontDoor&) = delete;
    FrontDoor& operator=(const FrontDoor&) = delete;

    // Listens on host:port (port 0: any free one); the port, or -1 when it cannot listen.
    // Requests may name the service by that address (see HostNames::listen_on).
    int bind(const std::string& host, int port);
    // Serves a TCP socket that already listens (one handed over by systemd, say) beside
    // those of bind(); the front door owns it from here on. Its port, or -1 when it is not a
    // listening IPv4 or IPv6 socket (the descriptor is then left as it was). Requests may
    // name the service by the socket's address, as for bind().
    int adopt(int descriptor);
    // A further name requests may reach the service by (HostNames::add); call before run().
    void serve_host_name(std::string_view name);
    // Serves until stop(); call once, from one thread.
    void run();
    // From any thread: closes the listener and every connection at once and makes run() return.
    void stop();
    // After run(): drops queued requests and waits up to `grace` for the running ones; false
    // when some still run.
    bool finish_work(std::chrono::milliseconds grace);

    // The event loop, the connections and the workers; Boost stays inside the .cpp.
    struct State;

private:
    std::unique_ptr<State> state_;
};

}  // namespace cumulo::server
