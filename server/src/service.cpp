#include "service.h"

#include "catalogue/pq_connection.h"
#include "http/bearer_token.h"
#include "text/decimal.h"
#include "http/query_string.h"
#include "index/search_query.h"
#include "pages/search_page.h"
#include "pages/share_page.h"
#include "pages/static_assets.h"
#include "index/share_index.h"

#include <cstdio>
#include <sstream>

namespace cumulo::server {

namespace {

// A positive decimal number that the catalogue can hold, or 0.
std::uint64_t positive_number(std::string_view digits)
{
    return parse_decimal_up_to(digits, max_stored_number).value_or(0);
}

constexpr std::string_view shares_path = "/api/v1/shares";

// PostgreSQL's SQLSTATEs for a lock or statement timeout.
const std::string lock_not_available = "55P03";
const std::string query_canceled = "57014";

HttpAnswer busy_answer()
{
    return json_error(503, "the catalogue is busy with another writer; nothing was written, try again");
}

HttpAnswer unreachable_page()
{
    return error_page(503, "分享目录暂时无法访问，请稍后再试。");
}

// The target without its query.
std::string_view path_of(std::string_view target)
{
    return target.substr(0, target.find('?'));
}

}  // namespace

HttpAnswer answer_search(const PublishedIndex& index, std::string_view raw_query,
                         std::chrono::steady_clock::time_point deadline)
{
    ParsedSearchQuery parsed = parse_search_query(raw_query);
    if (!parsed.query)
        return json_error(400, parsed.error);
    return search_answer(index.current()->search(*parsed.query, deadline));
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
        return error_page(400, "分享地址无效：地址里需要数字的 uk 和 shareid。");
    std::optional<Share> share;
    try {
        auto reader = readers.borrow();
        share = reader->find_by_id(shareid, uk);
    } catch (const CatalogueUnreachable&) {
        return unreachable_page();
    }
    return share ? share_page(*share) : error_page(404, "这个分享不存在，或已被取消。");
}

HttpAnswer answer_short_code(ReaderPool& readers, std::string_view code)
{
    std::optional<Share> share;
    if (is_valid_code(code)) {
        try {
            auto reader = readers.borrow();
            share = reader->find_by_code(code);
        } catch (const CatalogueUnreachable&) {
            return unreachable_page();
        }
    }
    return share ? share_page(*share) : error_page(404, "这个分享不存在，或已被取消。");
}

HttpAnswer answer_search_page(const PublishedIndex& index, std::string_view raw_query,
                              std::chrono::steady_clock::time_point deadline)
{
    ParsedSearchPage parsed = parse_search_page(raw_query);
    if (!parsed.error.empty())
        return search_page_error(400, parsed.request, parsed.error);
    if (parsed.request.key.empty())
        return search_page(parsed.request, {});
    return search_page(parsed.request, index.current()->search(search_query_of(parsed.request), deadline));
}

HttpAnswer answer_write(CatalogueWriter& writer, std::string_view method, std::string body)
{
    std::istringstream lines(std::move(body));
    try {
        return write_answer(method == "DELETE" ? writer.remove_shares(lines) : writer.put_shares(lines));
    } catch (const SqliteError& error) {
        if ((error.code() & 0xFF) != SQLITE_BUSY)
            throw;
        return busy_answer();
    } catch (const PqError& error) {
        // The log's lock or a statement took longer than the write's bounds.
        if (error.sqlstate() != lock_not_available && error.sqlstate() != query_canceled)
            throw;
        return busy_answer();
    } catch (const CommitOutcomeUnknown&) {
        // Sending the batch again is safe: its shares are put or removed once more.
        HttpAnswer answer = json_error(503, "the connection to the catalogue of record was lost while the batch "
                                            "committed; it may or may not have been written; send it again");
        answer.headers.emplace_back("Retry-After", "5");
        return answer;
    } catch (const CatalogueUnreachable&) {
        HttpAnswer answer =
            json_error(503, "the catalogue of record cannot be reached; nothing was written; try again later");
        answer.headers.emplace_back("Retry-After", "5");
        return answer;
    }
}

HttpAnswer answer_health(const PublishedIndex& index, const CatalogueWriter* writer,
                         std::chrono::duration<double> max_lag, bool writes_path)
{
    std::uint64_t applied = index.current()->position();
    HealthReport report;
    if (writer) {
        report = writer->health().report(applied, max_lag);
    } else {
        report.position = report.catalogue_position = applied;
    }
    char lag[32];
    std::snprintf(lag, sizeof lag, "%.1f", report.lag_seconds);
    HttpAnswer answer;
    answer.status = (writes_path ? report.writes_ok : !report.behind) ? 200 : 503;
    answer.content_type = "application/json";
    answer.body = std::string("{\"status\":\"") + (report.behind ? "behind" : "ok")
                  + "\",\"position\":" + std::to_string(report.position)
                  + ",\"catalogue_position\":" + std::to_string(report.catalogue_position)
                  + ",\"lag_changes\":" + std::to_string(report.catalogue_position - report.position)
                  + ",\"lag_seconds\":" + lag + ",\"writes\":\"" + (report.writes_ok ? "ok" : "unreachable") + "\"}";
    answer.headers.emplace_back("Cache-Control", "no-store");
    return answer;
}

HttpAnswer Service::answer(std::string_view target, std::chrono::steady_clock::time_point deadline)
{
    std::string_view path = path_of(target);
    if (path == "/")
        return answer_search_page(index_, query_of_target(target), deadline);
    if (path == "/api/v1/" || path == "/api/v1")
        return answer_search(index_, query_of_target(target), deadline);
    if (path == "/healthz" || path == "/healthz/writes")
        return answer_health(index_, writer_, max_lag_, path == "/healthz/writes");
    if (path == "/share/link")
        return answer_share_link(readers_, query_of_target(target));
    constexpr std::string_view code_prefix = "/s/";
    if (path.starts_with(code_prefix))
        return answer_short_code(readers_, path.substr(code_prefix.size()));
    if (std::optional<HttpAnswer> asset = static_asset_answer(path))
        return std::move(*asset);
    return refusal(target, 404, "no such resource");
}

bool Service::takes_body(std::string_view method, std::string_view target)
{
    return path_of(target) == shares_path && (method == "POST" || method == "DELETE");
}

std::optional<HttpAnswer> Service::refuse_writer(std::string_view authorization)
{
    if (!writer_)
        return json_error(405, "this service serves a catalogue it cannot write");
    if (bearer_matches(authorization, token_))
        return std::nullopt;
    HttpAnswer refusal = json_error(401, "writing needs the service's token: Authorization: Bearer <token>");
    refusal.headers.emplace_back("WWW-Authenticate", "Bearer realm=\"cumulo-server\"");
    return refusal;
}

HttpAnswer Service::write(std::string_view method, std::string_view, std::string body)
{
    return answer_write(*writer_, method, std::move(body));
}

bool Service::is_cheap(std::string_view target)
{
    std::string_view path = path_of(target);
    if (path == "/") {
        ParsedSearchPage parsed = parse_search_page(query_of_target(target));
        return !parsed.error.empty() || parsed.request.key.empty()
               || ShareIndex::answers_from_one_list(parsed.request.key);
    }
    if (path != "/api/v1/" && path != "/api/v1")
        return true;
    ParsedSearchQuery parsed = parse_search_query(query_of_target(target));
    return !parsed.query || ShareIndex::answers_from_one_list(parsed.query->key);
}

HttpAnswer Service::refusal(std::string_view target, int status, std::string_view message)
{
    if (path_of(target).starts_with("/api/"))
        return json_error(status, message);
    return error_page(status, status == 404 ? "这个地址上没有页面：可能是链接有误，或页面已被移走。" : message);
}

}  // namespace cumulo::server
