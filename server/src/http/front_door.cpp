#include "http/front_door.h"

#include "index/search_deadline.h"
#include "http/descriptors.h"
#include "http/fair_worker_pool.h"
#include "http/host_names.h"
#include "http/protective_headers.h"
#include "http/worker_pool.h"
#include "thread_priority.h"

// Boost 1.74's Asio uses std::exchange without including <utility> itself.
#include <utility>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <algorithm>
#include <atomic>
#include <iostream>
#include <iterator>
#include <limits>
#include <list>
#include <optional>
#include <thread>

#include <sys/socket.h>

namespace cumulo::server {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

class Session;

// Whether an If-None-Match header (a comma-separated list of entity tags, weak ones with
// "W/", or "*") names `etag`.
bool if_none_match_tokens_contain(std::string_view header, std::string_view etag)
{
    while (!header.empty()) {
        std::size_t comma = header.find(',');
        std::string_view token = header.substr(0, comma);
        header = comma == std::string_view::npos ? std::string_view{} : header.substr(comma + 1);
        while (!token.empty() && (token.front() == ' ' || token.front() == '\t'))
            token.remove_prefix(1);
        while (!token.empty() && (token.back() == ' ' || token.back() == '\t'))
            token.remove_suffix(1);
        if (token.starts_with("W/"))
            token.remove_prefix(2);
        if (token == "*" || token == etag)
            return true;
    }
    return false;
}

// A connection that ends after an answer is half-closed; what the client still sends is read
// and dropped for a short while, so that the answer is not lost to a reset.
constexpr std::chrono::milliseconds drain_time{1'000};
constexpr std::size_t drain_bytes = 64 * 1024;
// How long the listener rests when accepting fails (out of descriptors, for one).
constexpr std::chrono::milliseconds accept_pause_time{50};

unsigned per_core(unsigned wanted, unsigned factor)
{
    return wanted != 0 ? wanted : std::max(1u, std::thread::hardware_concurrency()) * factor;
}

}  // namespace

struct FrontDoor::State {
    State(RequestHandler& handler, FrontDoorLimits limits)
        : handler(handler), limits(limits),
          max_connections(connections_within_descriptors(
              limits.max_connections, per_core(limits.search_workers, 1) + per_core(limits.quick_workers, 2))),
          search(per_core(limits.search_workers, 1)), quick(per_core(limits.quick_workers, 2))
    {
    }

    // A listening socket, with the pause it takes when accepting fails.
    struct Listener {
        explicit Listener(asio::io_context& io) : acceptor(io), pause(io) {}
        tcp::acceptor acceptor;
        asio::steady_timer pause;
    };

    void accept(Listener& listener);
    void admit(tcp::socket socket);
    // Closes the connection that has waited longest for its request; false when every
    // connection is being answered.
    bool close_longest_waiting();
    void shut();
    // The answer of a handler call, with a deadline overrun as nullopt and any failure as a 500.
    std::optional<HttpAnswer> try_answer(const std::string& target, Clock::time_point deadline);
    // The answer of a write, with any failure as a 500.
    HttpAnswer try_write(const std::string& method, const std::string& target, std::string body);
    HttpAnswer out_of_time(const std::string& target)
    {
        return handler.refusal(target, 503, "the search ran out of time; try again later");
    }

    RequestHandler& handler;
    const FrontDoorLimits limits;
    // limits.max_connections, or fewer when the descriptors the process may open hold fewer.
    const std::size_t max_connections;
    HostNames host_names;
    // Open connections, the one that has waited longest for a request first. Used only on
    // the event loop's thread.
    std::list<Session*> sessions;
    std::uint64_t next_connection_id = 0;  // used on the event loop's thread
    bool stopping = false;
    asio::io_context io{1};
    // Sockets of its own (bind) and sockets handed over (adopt); a list, so that a listener
    // stays where it is while the next is added.
    std::list<Listener> listeners;
    // Declared after the event loop: the workers post into it, so they end first. The quick
    // workers post into the search workers, so they end before them.
    FairWorkerPool search;
    WorkerPool quick;
    // Writes run one at a time, apart from the searches, which preempt them: a search waits
    // less for a core, a write a little longer for its answer.
    WorkerPool writes{1, background_niceness};
};

namespace {

class Session : public std::enable_shared_from_this<Session> {
public:
    Session(FrontDoor::State& door, tcp::socket socket)
        : door_(door), connection_id_(door.next_connection_id++), address_(address_of(socket)),
          stream_(std::move(socket)), buffer_(door.limits.max_head_bytes + 8 * 1024)
    {
    }

    void start()
    {
        door_.sessions.push_back(this);
        place_ = std::prev(door_.sessions.end());
        registered_ = true;
        read_request();
    }

    // Closes the connection at once; what is under way ends with an error and does nothing.
    void close()
    {
        if (registered_) {
            door_.sessions.erase(place_);
            registered_ = false;
        }
        waiting_ = false;
        closed_ = true;
        beast::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
        stream_.socket().close(ignored);
    }

    bool waiting() const { return waiting_; }

    // Called on the event loop when a worker has the answer.
    void send(HttpAnswer answer) { write(std::move(answer), {}); }

private:
    void read_request()
    {
        target_.clear();
        if_none_match_.clear();
        version_ = 11;
        head_only_ = false;
        keep_alive_ = false;
        parser_.emplace();
        parser_->header_limit(static_cast<std::uint32_t>(door_.limits.max_head_bytes));
        // A body's length is judged once the head is read (413), never as a failure to read it.
        parser_->body_limit(std::numeric_limits<std::uint64_t>::max());
        waiting_ = true;
        door_.sessions.splice(door_.sessions.end(), door_.sessions, place_);
        stream_.expires_after(door_.limits.request_time);
        http::async_read_header(stream_, buffer_, *parser_,
                                [self = shared_from_this()](beast::error_code error, std::size_t) {
                                    self->on_head(error);
                                });
    }

    void on_head(beast::error_code error)
    {
        if (!registered_)
            return;
        waiting_ = false;
        if (error) {
            target_ = target_of_partial_request();
            if (std::optional<AbsoluteTarget> absolute = read_absolute_target(target_))
                target_ = absolute->origin_form;
        }
        if (error == http::error::header_limit || error == http::error::buffer_overflow) {
            bool line_ended = std::string_view(static_cast<const char*>(buffer_.data().data()), buffer_.size())
                                  .find('\n') != std::string_view::npos;
            return refuse(line_ended ? 431 : 414, line_ended ? "the request head is too large"
                                                             : "the request target is too long");
        }
        if (error && &error.category() == &http::make_error_code(http::error::bad_method).category()
            && error != http::error::end_of_stream && error != http::error::partial_message)
            return refuse(400, "the request is not well-formed HTTP/1.1");
        if (error)
            return close();  // the client left, or its request did not arrive whole in time

        const auto& request = parser_->get();
        target_ = std::string(request.target());
        if_none_match_ = std::string(request[http::field::if_none_match]);
        version_ = request.version();
        head_only_ = request.method() == http::verb::head;
        keep_alive_ = request.keep_alive();
        bool has_body = parser_->chunked() || parser_->content_length().value_or(0) != 0;
        if (door_.handler.takes_body(std::string_view(request.method_string().data(), request.method_string().size()),
                                     target_))
            return admit_write(has_body);
        if (request.method() != http::verb::get && !head_only_)
            return refuse(405, "only GET and HEAD are served", !has_body);
        if (static_cast<std::size_t>(std::distance(request.begin(), request.end())) > door_.limits.max_head_lines)
            return refuse(431, "the request has too many header lines");
        if (has_body)
            return refuse(413, "requests carry no body");
        if (!take_target(request))
            return;
        dispatch();
    }

    // A write: its client is let in, or refused, before its body is read; the body must come
    // plain and within bounds.
    void admit_write(bool has_body)
    {
        const auto& request = parser_->get();
        if (static_cast<std::size_t>(std::distance(request.begin(), request.end())) > door_.limits.max_head_lines)
            return refuse(431, "the request has too many header lines");
        if (!take_target(request))
            return;
        auto authorization = request[http::field::authorization];
        if (auto refusal = door_.handler.refuse_writer(std::string_view(authorization.data(), authorization.size()))) {
            keep_alive_ = keep_alive_ && !has_body;
            return write(std::move(*refusal), {});
        }
        if (request.find(http::field::content_encoding) != request.end())
            return refuse(415, "a compressed body is not accepted; send the lines as they are", !has_body);
        if (parser_->content_length().value_or(0) > door_.limits.max_body_bytes)
            return refuse(413, "the body is longer than " + std::to_string(door_.limits.max_body_bytes) + " bytes");
        method_ = std::string(request.method_string().data(), request.method_string().size());
        bool wants_go_ahead = beast::iequals(request[http::field::expect], "100-continue");
        body_parser_.emplace(std::move(*parser_));
        body_parser_->body_limit(door_.limits.max_body_bytes);
        body_deadline_ = Clock::now() + door_.limits.body_time;
        if (!wants_go_ahead)
            return read_body();
        static constexpr std::string_view go_ahead = "HTTP/1.1 100 Continue\r\n\r\n";
        stream_.expires_after(door_.limits.write_time);
        asio::async_write(stream_, asio::buffer(go_ahead.data(), go_ahead.size()),
                          [self = shared_from_this()](beast::error_code error, std::size_t) {
                              if (!self->registered_)
                                  return;
                              if (error)
                                  return self->close();
                              self->read_body();
                          });
    }

    // Reads the body as it comes, each wait bounded by the idle time and the body's deadline.
    void read_body()
    {
        if (body_parser_->is_done())
            return dispatch_write();
        auto left = body_deadline_ - Clock::now();
        if (left <= Clock::duration::zero())
            return close();
        stream_.expires_after(std::min<Clock::duration>(door_.limits.request_time, left));
        http::async_read_some(stream_, buffer_, *body_parser_,
                              [self = shared_from_this()](beast::error_code error, std::size_t) {
                                  self->on_body(error);
                              });
    }

    void on_body(beast::error_code error)
    {
        if (!registered_)
            return;
        keep_alive_ = false;
        if (error == http::error::body_limit)
            return refuse(413, "the body is longer than " + std::to_string(door_.limits.max_body_bytes) + " bytes");
        if (error && &error.category() == &http::make_error_code(http::error::bad_method).category()
            && error != http::error::end_of_stream && error != http::error::partial_message)
            return refuse(400, "the request body is not well-formed");
        if (error)
            return close();  // the client left, or paused too long: nothing is written
        read_body();
    }

    // Hands the whole body to the write worker; the answer comes back to the event loop.
    void dispatch_write()
    {
        keep_alive_ = body_parser_->get().keep_alive();
        std::string body = std::move(body_parser_->get().body());
        body_parser_.reset();
        door_.writes.post([self = shared_from_this(), body = std::move(body)]() mutable {
            if (self->closed_)
                return release(std::move(self));
            HttpAnswer answer = self->door_.try_write(self->method_, self->target_, std::move(body));
            deliver(std::move(self), std::move(answer));
        });
    }

    // Puts the target in origin form (a target in absolute form gives its path and query) and
    // checks the name the request reached the service by: the absolute target's authority, or
    // else the Host header. False after refusing the request.
    bool take_target(const http::request<http::empty_body>& request)
    {
        std::optional<AbsoluteTarget> absolute = read_absolute_target(target_);
        if (absolute)
            target_ = absolute->origin_form;
        std::size_t host_lines = request.count(http::field::host);
        if (host_lines > 1 || (host_lines == 0 && version_ >= 11)) {
            refuse(400, "an HTTP/1.1 request needs exactly one Host header");
            return false;
        }
        if (absolute && absolute->authority.empty()) {
            refuse(400, "the request target names no host (or holds user information)");
            return false;
        }
        beast::string_view host = request[http::field::host];
        std::string_view name = absolute ? std::string_view(absolute->authority) : std::string_view(host.data(), host.size());
        if ((absolute || host_lines == 1) && !door_.host_names.serves(name)) {
            refuse(421, "this service does not answer to that host name; its own names are its listen address "
                        "and those given with --host-name");
            return false;
        }
        return true;
    }

    // The target of a request that could not be read whole, as far as it arrived, so that
    // its refusal comes in the form its client reads. The parser keeps the request line once
    // it has read it whole; before that it is still in the buffer.
    std::string target_of_partial_request() const
    {
        if (!parser_->get().target().empty())
            return std::string(parser_->get().target());
        std::string_view received(static_cast<const char*>(buffer_.data().data()), buffer_.size());
        std::size_t start = received.find(' ');
        if (start == std::string_view::npos)
            return {};
        std::string_view rest = received.substr(start + 1);
        return std::string(rest.substr(0, rest.find_first_of(" \r\n")));
    }

    // The client's address, by which its expensive requests take turns with other clients'.
    static std::string address_of(const tcp::socket& socket)
    {
        beast::error_code error;
        tcp::endpoint remote = socket.remote_endpoint(error);
        return error ? std::string() : remote.address().to_string();
    }

    // Runs a cheap request on a quick worker, and one that needs more time (or is not cheap)
    // on a search worker in its client's turn. The answer comes back to the event loop.
    void dispatch()
    {
        Clock::time_point deadline = Clock::now() + door_.limits.search_time;
        if (!door_.handler.is_cheap(target_))
            return search_in_turn(shared_from_this(), deadline);
        door_.quick.post([self = shared_from_this(), deadline]() mutable {
            FrontDoor::State& door = self->door_;
            if (self->closed_)
                return release(std::move(self));  // the connection has been closed: nobody to answer
            std::optional<HttpAnswer> answer =
                door.try_answer(self->target_, std::min(deadline, Clock::now() + door.limits.quick_time));
            if (!answer && Clock::now() < deadline)
                return search_in_turn(std::move(self), deadline);
            if (!answer)
                answer = door.out_of_time(self->target_);
            deliver(std::move(self), std::move(*answer));
        });
    }

    // Runs the request on a search worker when its client's turn comes.
    static void search_in_turn(std::shared_ptr<Session> self, Clock::time_point deadline)
    {
        FrontDoor::State& door = self->door_;
        std::string address = self->address_;
        std::uint64_t connection = self->connection_id_;
        door.search.post(address, connection, [self = std::move(self), deadline]() mutable {
            FrontDoor::State& door = self->door_;
            if (self->closed_)
                return release(std::move(self));
            std::optional<HttpAnswer> answer;
            if (Clock::now() < deadline)
                answer = door.try_answer(self->target_, deadline);
            if (!answer)
                answer = door.out_of_time(self->target_);
            deliver(std::move(self), std::move(*answer));
        });
    }

    // Gives the session back to the event loop, where its last reference is dropped.
    static void release(std::shared_ptr<Session> self)
    {
        asio::io_context& io = self->door_.io;
        asio::post(io, [self = std::move(self)] {});
    }

    // Hands the answer to the event loop; the last reference to a session is dropped there.
    static void deliver(std::shared_ptr<Session> self, HttpAnswer answer)
    {
        asio::io_context& io = self->door_.io;
        asio::post(io, [self = std::move(self), answer = std::move(answer)]() mutable {
            if (self->registered_)
                self->send(std::move(answer));
        });
    }

    void refuse(int status, std::string_view message, bool keep_alive = false)
    {
        keep_alive_ = keep_alive && keep_alive_;
        HttpAnswer answer = door_.handler.refusal(target_, status, message);
        write(std::move(answer), status == 405 ? "GET, HEAD" : "");
    }

    // Sends the answer; then reads the next request, or ends the connection.
    void write(HttpAnswer answer, std::string_view allow)
    {
        response_ = {};
        response_.version(version_);
        response_.result(static_cast<unsigned>(answer.status));
        response_.set(http::field::content_type, answer.content_type);
        if (!allow.empty())
            response_.set(http::field::allow, beast::string_view(allow.data(), allow.size()));
        for (const HeaderLine& line : protective_headers)
            response_.set(beast::string_view(line.name.data(), line.name.size()),
                          beast::string_view(line.value.data(), line.value.size()));
        // An answer's own lines come last, so that a page's own policy replaces the general one.
        for (const auto& [name, value] : answer.headers)
            response_.set(name, value);
        response_.keep_alive(keep_alive_);
        if (is_unchanged(answer)) {
            response_.result(http::status::not_modified);
            response_.erase(http::field::content_type);
        } else if (head_only_) {
            response_.content_length(answer.body.size());
        } else {
            response_.body() = std::move(answer.body);
            response_.prepare_payload();
        }
        stream_.expires_after(door_.limits.write_time);
        http::async_write(stream_, response_, [self = shared_from_this()](beast::error_code error, std::size_t) {
            if (!self->registered_)
                return;
            if (error)
                return self->close();
            if (self->keep_alive_)
                return self->read_request();
            self->drain();
        });
    }

    // A client that already holds this answer, by its ETag, gets a 304 without the body.
    bool is_unchanged(const HttpAnswer& answer) const
    {
        std::string_view etag = answer.header("ETag");
        return answer.status == 200 && !etag.empty() && if_none_match_tokens_contain(if_none_match_, etag);
    }

    // Half-closes, then reads and drops what the client still sends until it closes too, for
    // at most drain_time and drain_bytes.
    void drain()
    {
        beast::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
        stream_.expires_after(drain_time);
        drain_some();
    }

    void drain_some()
    {
        buffer_.consume(buffer_.size());
        stream_.async_read_some(buffer_.prepare(4096), [self = shared_from_this()](beast::error_code error,
                                                                                   std::size_t got) {
            if (!self->registered_)
                return;
            self->drained_ += got;
            if (error || self->drained_ >= drain_bytes)
                return self->close();
            self->drain_some();
        });
    }

    FrontDoor::State& door_;
    const std::uint64_t connection_id_;
    const std::string address_;
    beast::tcp_stream stream_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::empty_body>> parser_;
    // A write's body parser, taken over from parser_ once the head is read.
    std::optional<http::request_parser<http::string_body>> body_parser_;
    Clock::time_point body_deadline_;
    std::string method_;
    http::response<http::string_body> response_;
    std::string target_;
    std::string if_none_match_;
    unsigned version_ = 11;
    bool head_only_ = false;
    bool keep_alive_ = false;
    std::list<Session*>::iterator place_;
    bool registered_ = false;
    bool waiting_ = false;
    // Set on the event loop, read by the workers before they start on the request.
    std::atomic<bool> closed_ = false;
    std::size_t drained_ = 0;
};

}  // namespace

std::optional<HttpAnswer> FrontDoor::State::try_answer(const std::string& target, Clock::time_point deadline)
{
    try {
        return handler.answer(target, deadline);
    } catch (const SearchDeadlineExceeded&) {
        return std::nullopt;
    } catch (const OutOfDescriptors& error) {
        // The service used them up itself: an idle connection gives one back.
        std::cerr << "cumulo-server: " << target << ": " << error.what() << std::endl;
        asio::post(io, [this] { close_longest_waiting(); });
        return handler.refusal(target, 503, "the service is busy; try again later");
    } catch (const std::exception& error) {
        std::cerr << "cumulo-server: " << target << ": " << error.what() << std::endl;
    } catch (...) {
        std::cerr << "cumulo-server: " << target << ": unknown error" << std::endl;
    }
    return handler.refusal(target, 500, "internal error");
}

HttpAnswer FrontDoor::State::try_write(const std::string& method, const std::string& target, std::string body)
{
    try {
        return handler.write(method, target, std::move(body));
    } catch (const std::exception& error) {
        std::cerr << "cumulo-server: " << method << ' ' << target << ": " << error.what() << std::endl;
    } catch (...) {
        std::cerr << "cumulo-server: " << method << ' ' << target << ": unknown error" << std::endl;
    }
    return handler.refusal(target, 500, "internal error");
}

void FrontDoor::State::accept(Listener& listener)
{
    listener.acceptor.async_accept(io, [this, &listener](beast::error_code error, tcp::socket socket) {
        if (stopping)
            return;
        // Out of descriptors: a connection idle for longest makes room for the new one.
        if ((error == asio::error::no_descriptors || error == boost::system::errc::too_many_files_open_in_system)
            && close_longest_waiting())
            return accept(listener);
        if (error) {
            listener.pause.expires_after(accept_pause_time);
            listener.pause.async_wait([this, &listener](beast::error_code error) {
                if (!error && !stopping)
                    accept(listener);
            });
            return;
        }
        admit(std::move(socket));
        accept(listener);
    });
}

bool FrontDoor::State::close_longest_waiting()
{
    auto longest_waiting = std::find_if(sessions.begin(), sessions.end(), [](Session* s) { return s->waiting(); });
    if (longest_waiting == sessions.end())
        return false;
    (*longest_waiting)->close();
    return true;
}

void FrontDoor::State::admit(tcp::socket socket)
{
    if (sessions.size() >= max_connections && !close_longest_waiting())
        return;  // every connection is being answered: this one is closed
    beast::error_code ignored;
    // Answers are small: without TCP_NODELAY each one waits for the client's delayed ACK.
    socket.set_option(tcp::no_delay(true), ignored);
    std::make_shared<Session>(*this, std::move(socket))->start();
}

void FrontDoor::State::shut()
{
    stopping = true;
    beast::error_code ignored;
    for (Listener& listener : listeners) {
        listener.acceptor.close(ignored);
        listener.pause.cancel();
    }
    while (!sessions.empty())
        sessions.front()->close();
    io.stop();
}

FrontDoor::FrontDoor(RequestHandler& handler, FrontDoorLimits limits)
    : state_(std::make_unique<State>(handler, limits))
{
}

FrontDoor::~FrontDoor()
{
    finish_work(std::chrono::milliseconds::zero());
}

int FrontDoor::bind(const std::string& host, int port)
{
    beast::error_code error;
    tcp::resolver resolver(state_->io);
    auto endpoints = resolver.resolve(host, std::to_string(port), tcp::resolver::passive | tcp::resolver::numeric_service, error);
    if (error || endpoints.empty())
        return -1;
    tcp::endpoint endpoint = endpoints.begin()->endpoint();
    tcp::acceptor& acceptor = state_->listeners.emplace_back(state_->io).acceptor;
    acceptor.open(endpoint.protocol(), error);
    if (!error)
        acceptor.set_option(tcp::acceptor::reuse_address(true), error);
    if (!error)
        acceptor.bind(endpoint, error);
    if (!error)
        acceptor.listen(asio::socket_base::max_listen_connections, error);
    if (error) {
        state_->listeners.pop_back();
        return -1;
    }
    int bound_port = acceptor.local_endpoint().port();
    state_->host_names.listen_on(host, bound_port);
    return bound_port;
}

int FrontDoor::adopt(int descriptor)
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    int listening = 0;
    socklen_t listening_length = sizeof listening;
    if (::getsockname(descriptor, reinterpret_cast<sockaddr*>(&address), &length) != 0
        || (address.ss_family != AF_INET && address.ss_family != AF_INET6)
        || ::getsockopt(descriptor, SOL_SOCKET, SO_ACCEPTCONN, &listening, &listening_length) != 0 || !listening)
        return -1;
    tcp::acceptor& acceptor = state_->listeners.emplace_back(state_->io).acceptor;
    beast::error_code error;
    acceptor.assign(address.ss_family == AF_INET ? tcp::v4() : tcp::v6(), descriptor, error);
    if (error) {
        state_->listeners.pop_back();
        return -1;
    }
    tcp::endpoint bound = acceptor.local_endpoint();
    state_->host_names.listen_on(bound.address().to_string(), bound.port());
    return bound.port();
}

void FrontDoor::serve_host_name(std::string_view name)
{
    state_->host_names.add(name);
}

void FrontDoor::run()
{
    for (State::Listener& listener : state_->listeners)
        state_->accept(listener);
    state_->io.run();
}

void FrontDoor::stop()
{
    asio::post(state_->io, [state = state_.get()] { state->shut(); });
}

bool FrontDoor::finish_work(std::chrono::milliseconds grace)
{
    // Both pools stop taking work first, so that nothing moves from one to the other.
    bool quick_ended = state_->quick.stop(grace);
    bool search_ended = state_->search.stop(grace);
    bool writes_ended = state_->writes.stop(grace);
    return quick_ended && search_ended && writes_ended;
}

}  // namespace cumulo::server
