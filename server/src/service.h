// The service's requests and their answers: GET /api/v1/ (search), /share/link and /s/<code>
// (share pages). The answer functions are plain calls so that they can be tested without a
// socket; configure_server binds them to an HTTP server.
#pragma once

#include "answer.h"
#include "reader_pool.h"

#include <string_view>

namespace httplib {
class Server;
}

namespace cumulo::server {

HttpAnswer answer_search(ReaderPool& readers, std::string_view raw_query);
HttpAnswer answer_share_link(ReaderPool& readers, std::string_view raw_query);
HttpAnswer answer_short_code(ReaderPool& readers, std::string_view code);

// Routes, error pages, the guard that turns any exception into a 500 answer, and the
// connection settings (no Nagle delay, long keep-alive, small request bodies).
void configure_server(httplib::Server& server, ReaderPool& readers);

}  // namespace cumulo::server
