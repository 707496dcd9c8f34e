#include "service.h"

#include "decimal.h"
#include "query_string.h"
#include "search_query.h"

#include <httplib.h>

#include <exception>
#include <iostream>

namespace cumulo::server {

namespace {

// A positive decimal number that the catalogue can hold, or 0.
std::uint64_t positive_number(std::string_view digits)
{
    auto value = parse_decimal(digits, max_stored_number);
    return value && *value <= max_stored_number ? *value : 0;
}

void send(httplib::Response& response, const HttpAnswer& answer)
{
    response.status = answer.status;
    response.set_content(answer.body, answer.content_type.c_str());
}

bool wants_json(const httplib::Request& request)
{
    return request.path.starts_with("/api/");
}

}  // namespace

HttpAnswer answer_search(ReaderPool& readers, std::string_view raw_query)
{
    ParsedSearchQuery parsed = parse_search_query(raw_query);
    if (!parsed.query)
        return json_error(400, parsed.error);
    auto reader = readers.borrow();
    return search_answer(reader->search(*parsed.query));
}

HttpAnswer answer_share_link(ReaderPool& readers, std::string_view raw_query)
{
    QueryPairs pairs = split_query(raw_query);
    std::uint64_t uk = 0;
    std::uint64_t shareid = 0;
    for (const auto& [name, value] : pairs.pairs) {
        if (name == "uk")
            uk = positive_number(value);
        else if (name == "shareid")
            shareid = positive_number(value);
    }
    if (!pairs.error.empty() || uk == 0 || shareid == 0)
        return share_page_error(400, "分享地址无效 (the address needs a numeric uk and shareid)");
    auto reader = readers.borrow();
    std::optional<Share> share = reader->find_by_id(shareid, uk);
    return share ? share_page(*share) : share_page_error(404, "分享不存在 (no such share)");
}

HttpAnswer answer_short_code(ReaderPool& readers, std::string_view code)
{
    std::optional<Share> share;
    if (is_valid_code(code)) {
        auto reader = readers.borrow();
        share = reader->find_by_code(code);
    }
    return share ? share_page(*share) : share_page_error(404, "分享不存在 (no such share)");
}

void configure_server(httplib::Server& server, ReaderPool& readers)
{
    // Answers are small: without TCP_NODELAY each one waits for the client's delayed ACK.
    server.set_tcp_nodelay(true);
    server.set_keep_alive_max_count(1000);
    server.set_keep_alive_timeout(2);
    server.set_payload_max_length(64 * 1024);

    auto search = [&readers](const httplib::Request& request, httplib::Response& response) {
        send(response, answer_search(readers, query_of_target(request.target)));
    };
    server.Get("/api/v1/", search);
    server.Get("/api/v1", search);
    server.Get("/share/link", [&readers](const httplib::Request& request, httplib::Response& response) {
        send(response, answer_share_link(readers, query_of_target(request.target)));
    });
    server.Get("/s/([^/]*)", [&readers](const httplib::Request& request, httplib::Response& response) {
        send(response, answer_short_code(readers, request.matches[1].str()));
    });

    // Requests that matched no route (or a route that left the status unset).
    server.set_error_handler([](const httplib::Request& request, httplib::Response& response) {
        if (!response.body.empty())
            return;
        int status = response.status >= 400 ? response.status : 404;
        send(response, wants_json(request) ? json_error(status, "no such resource")
                                           : share_page_error(status, "页面不存在 (not found)"));
    });
    server.set_exception_handler([](const httplib::Request& request, httplib::Response& response,
                                    std::exception_ptr error) {
        std::string what = "unknown error";
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            what = e.what();
        } catch (...) {
        }
        std::cerr << "cumulo-server: " << request.method << ' ' << request.path << ": " << what << std::endl;
        send(response, wants_json(request) ? json_error(500, "internal error")
                                           : share_page_error(500, "服务器内部错误 (internal error)"));
    });
}

}  // namespace cumulo::server
