// The service's requests and their answers: GET /api/v1/ (search in JSON), / (the search
// page), /share/link and /s/<code> (share pages) and /static/<hashed name> (the pages'
// stylesheet, script and icon). The answer functions are plain calls so that they can be tested without a
// socket; Service routes request targets to them for the front door (http/front_door.h).
#pragma once

#include "pages/answer.h"
#include "http/front_door.h"
#include "catalogue/reader_pool.h"

#include <chrono>
#include <string_view>

namespace cumulo::server {

// A search throws SearchDeadlineExceeded once `deadline` has passed.
HttpAnswer answer_search(ReaderPool& readers, std::string_view raw_query,
                         std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max());
HttpAnswer answer_share_link(ReaderPool& readers, std::string_view raw_query);
HttpAnswer answer_short_code(ReaderPool& readers, std::string_view code);
HttpAnswer answer_search_page(ReaderPool& readers, std::string_view raw_query,
                              std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max());

class Service : public RequestHandler {
public:
    explicit Service(ReaderPool& readers) : readers_(readers) {}

    HttpAnswer answer(std::string_view target, std::chrono::steady_clock::time_point deadline) override;
    // JSON for the API's targets, an HTML page for the others.
    HttpAnswer refusal(std::string_view target, int status, std::string_view message) override;
    // Share pages, refusals and searches the index answers from one list per type.
    bool is_cheap(std::string_view target) override;

private:
    ReaderPool& readers_;
};

}  // namespace cumulo::server
