#include "http_fetch.h"

#include <curl/curl.h>

#include <cstdlib>
#include <memory>
#include <mutex>

#include "worker.h"

namespace cu::netsup {
namespace {

struct EasyDelete {
    void operator()(CURL* e) const { curl_easy_cleanup(e); }
};
struct MultiDelete {
    void operator()(CURLM* m) const { curl_multi_cleanup(m); }
};
struct ListDelete {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

void initialise_curl_once()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// The CONNECT_TO entries of the environment, or null when none are set.
std::unique_ptr<curl_slist, ListDelete> connect_to_entries()
{
    std::unique_ptr<curl_slist, ListDelete> list;
    const char* value = std::getenv(connect_to_variable);
    if (!value) return list;
    std::string_view rest = value;
    while (!rest.empty()) {
        const std::size_t comma = rest.find(',');
        const std::string entry(rest.substr(0, comma));
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        if (entry.empty()) continue;
        curl_slist* extended = curl_slist_append(list.get(), entry.c_str());
        if (!extended) throw std::bad_alloc();
        list.release();
        list.reset(extended);
    }
    return list;
}

struct Body {
    std::string bytes;
    std::size_t limit;
};

// Refusing a write (returning less than given) ends the transfer with an error.
std::size_t append_body(char* data, std::size_t size, std::size_t count, void* context)
{
    auto& body = *static_cast<Body*>(context);
    const std::size_t n = size * count;
    if (n > body.limit - body.bytes.size()) return 0;
    body.bytes.append(data, n);
    return n;
}

void wake(void* multi) { curl_multi_wakeup(static_cast<CURLM*>(multi)); }

}  // namespace

std::optional<std::string> http_get(std::string_view address, const FetchLimits& limits)
{
    initialise_curl_once();
    std::unique_ptr<CURL, EasyDelete> easy(curl_easy_init());
    std::unique_ptr<CURLM, MultiDelete> multi(curl_multi_init());
    if (!easy || !multi) return std::nullopt;
    const auto connect_to = connect_to_entries();
    const std::string url(address);
    Body body{{}, limits.body_size};

    CURL* e = easy.get();
    curl_easy_setopt(e, CURLOPT_URL, url.c_str());
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(e, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(e, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_USERAGENT, "cumulo-search/1.0");
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(limits.connect_time.count()));
    curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, static_cast<long>(limits.total_time.count()));
    curl_easy_setopt(e, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limits.body_size));
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, append_body);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &body);
    if (connect_to) curl_easy_setopt(e, CURLOPT_CONNECT_TO, connect_to.get());

    if (curl_multi_add_handle(multi.get(), e) != CURLM_OK) return std::nullopt;
    // A stop of the calling worker wakes the poll below at once.
    const WakeOnStop waker(wake, multi.get());
    CURLcode outcome = CURLE_OK;
    bool done = false;
    while (!done && !stop_requested()) {
        int running = 0;
        if (curl_multi_perform(multi.get(), &running) != CURLM_OK) break;
        int queued = 0;
        while (CURLMsg* m = curl_multi_info_read(multi.get(), &queued))
            if (m->msg == CURLMSG_DONE) outcome = m->data.result, done = true;
        if (!done && curl_multi_poll(multi.get(), nullptr, 0, 1000, nullptr) != CURLM_OK) break;
    }
    curl_multi_remove_handle(multi.get(), e);
    if (!done || outcome != CURLE_OK) return std::nullopt;
    return std::move(body.bytes);
}

}  // namespace cu::netsup
