// The service's requests and their answers: GET /api/v1/ (search in JSON), / (the search
// page), /share/link and /s/<code> (share pages) and /static/<hashed name> (the pages'
// stylesheet, script and icon), the node's health (/healthz, /healthz/writes) and the writes
// POST and DELETE /api/v1/shares. The answer
// functions are plain calls so that they can be tested without a socket; Service routes request
// targets to them for the front door (http/front_door.h).
#pragma once

#include "pages/answer.h"
#include "http/front_door.h"
#include "catalogue/catalogue_writer.h"
#include "catalogue/reader_pool.h"
#include "index/live_index.h"

#include <chrono>
#include <string_view>

namespace cumulo::server {

// A search throws SearchDeadlineExceeded once `deadline` has passed.
HttpAnswer answer_search(const PublishedIndex& index, std::string_view raw_query,
                         std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max());
HttpAnswer answer_share_link(ReaderPool& readers, std::string_view raw_query);
HttpAnswer answer_short_code(ReaderPool& readers, std::string_view code);
HttpAnswer answer_search_page(const PublishedIndex& index, std::string_view raw_query,
                              std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max());
// POST (add or replace) or DELETE (remove) of the shares in `body`, JSON Lines; 200 once the
// batch is committed, synced and searchable, 400 with the bad lines and nothing written, 503
// with nothing written when the catalogue of record cannot be reached or is busy.
HttpAnswer answer_write(CatalogueWriter& writer, std::string_view method, std::string body);
// The node's health as JSON (never cached): 200 while the index is within `max_lag` of the
// catalogue (for /healthz/writes: while the node can write), else 503. Without a writer the
// index is the catalogue as it is, and writes are refused.
HttpAnswer answer_health(const PublishedIndex& index, const CatalogueWriter* writer,
                         std::chrono::duration<double> max_lag, bool writes_path);

class Service : public RequestHandler {
public:
    // Without a writer, or with an empty token, every write is refused.
    // /healthz says "behind" past `max_lag`.
    Service(ReaderPool& readers, const PublishedIndex& index, CatalogueWriter* writer = nullptr,
            std::string token = {}, std::chrono::duration<double> max_lag = std::chrono::seconds(5))
        : readers_(readers), index_(index), writer_(writer), token_(std::move(token)), max_lag_(max_lag)
    {
    }

    HttpAnswer answer(std::string_view target, std::chrono::steady_clock::time_point deadline) override;
    // JSON for the API's targets, an HTML page for the others.
    HttpAnswer refusal(std::string_view target, int status, std::string_view message) override;
    // Share pages, refusals and searches the index answers from one list per type.
    bool is_cheap(std::string_view target) override;

    bool takes_body(std::string_view method, std::string_view target) override;
    // 401 unless `authorization` carries the token; the refusal says nothing of the catalogue.
    std::optional<HttpAnswer> refuse_writer(std::string_view authorization) override;
    HttpAnswer write(std::string_view method, std::string_view target, std::string body) override;

private:
    ReaderPool& readers_;
    const PublishedIndex& index_;
    CatalogueWriter* writer_;
    std::string token_;
    std::chrono::duration<double> max_lag_;
};

}  // namespace cumulo::server
