// A local HTTP server on an ephemeral loopback port for the fetch tests:
// a plain answer, a slow one, a stalled one, a huge one, one that closes in
// the middle of its body, an error status and a redirect.
#pragma once
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

namespace cu::test {

class TestHttpServer {
public:
    static constexpr const char* hello_body = "hello \xD6\xD0\xCE\xC4";

    TestHttpServer()
    {
        server_.Get("/hello", [](const httplib::Request&, httplib::Response& r) {
            r.set_content(hello_body, "text/plain");
        });
        server_.Get("/binary", [](const httplib::Request&, httplib::Response& r) {
            r.set_content(std::string("a\0b\xFF", 4), "application/octet-stream");
        });
        server_.Get("/slow", [this](const httplib::Request&, httplib::Response& r) {
            r.set_chunked_content_provider("text/plain", [this](std::size_t, httplib::DataSink& sink) {
                for (int i = 0; i < 10 && !closing_; ++i) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(40));
                    sink.write("0123456789", 10);
                }
                sink.done();
                return true;
            });
        });
        server_.Get("/stall", [this](const httplib::Request&, httplib::Response& r) {
            r.set_chunked_content_provider("text/plain", [this](std::size_t, httplib::DataSink& sink) {
                sink.write("start", 5);
                while (!closing_) std::this_thread::sleep_for(std::chrono::milliseconds(10));
                return false;
            });
        });
        server_.Get("/huge", [this](const httplib::Request&, httplib::Response& r) {
            r.set_chunked_content_provider("application/octet-stream",
                                           [this, sent = std::size_t{0}](std::size_t, httplib::DataSink& sink) mutable {
                                               static const std::string mib(1 << 20, 'x');
                                               if (closing_ || sent >= (40u << 20)) {
                                                   sink.done();
                                                   return true;
                                               }
                                               sent += mib.size();
                                               return sink.write(mib.data(), mib.size());
                                           });
        });
        server_.Get("/huge-declared", [](const httplib::Request&, httplib::Response& r) {
            r.set_content_provider(40u << 20, "application/octet-stream",
                                   [](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                                       static const std::string mib(1 << 20, 'x');
                                       return sink.write(mib.data(), std::min<std::size_t>(length, mib.size()));
                                   });
        });
        server_.Get("/close", [](const httplib::Request&, httplib::Response& r) {
            r.set_content_provider(1000, "text/plain", [](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                if (offset > 0) return false;  // closes the connection mid-body
                return sink.write("0123456789", 10);
            });
        });
        server_.Get("/missing", [](const httplib::Request&, httplib::Response& r) {
            r.status = 404;
            r.set_content("not here", "text/plain");
        });
        server_.Get("/redirect", [](const httplib::Request&, httplib::Response& r) { r.set_redirect("/hello"); });
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        // stop() before the accept loop runs would be lost and leave the loop running.
        while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    ~TestHttpServer()
    {
        closing_ = true;
        server_.stop();
        thread_.join();
    }

    int port() const { return port_; }
    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }

private:
    httplib::Server server_;
    std::atomic<bool> closing_{false};
    int port_ = 0;
    std::thread thread_;
};

}  // namespace cu::test
