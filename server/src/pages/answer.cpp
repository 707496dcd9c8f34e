#include "pages/answer.h"

#include "text/json_text.h"

#include <algorithm>

namespace cumulo::server {

namespace {

constexpr std::string_view json_type = "application/json; charset=utf-8";

char lower_ascii(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

std::string_view HttpAnswer::header(std::string_view name) const
{
    for (const auto& [given, value] : headers) {
        if (std::ranges::equal(given, name, {}, lower_ascii, lower_ascii))
            return value;
    }
    return {};
}

HttpAnswer search_answer(const std::vector<Share>& shares)
{
    std::string out = "{\"list\":[";
    for (std::size_t i = 0; i < shares.size(); ++i) {
        const Share& share = shares[i];
        out += i == 0 ? "{\"name\":" : ",{\"name\":";
        append_json_string(out, share.name);
        out += ",\"type\":";
        append_json_string(out, type_word(share.type));
        out += ",\"size\":";
        append_json_string(out, std::to_string(share.size));
        out += ",\"idAuk\":";
        append_json_string(out, id_and_owner(share));
        out += '}';
    }
    out += "]}";
    return {200, std::string(json_type), std::move(out), {}};
}

HttpAnswer json_error(int status, std::string_view message)
{
    std::string body = "{\"error\":";
    append_json_string(body, message);
    body += '}';
    return {status, std::string(json_type), std::move(body), {}};
}

HttpAnswer write_answer(const ImportReport& report)
{
    std::string body = "{";
    if (report.bad_line_count != 0) {
        body += "\"error\":";
        append_json_string(body, std::to_string(report.bad_line_count) + " bad line(s); nothing was written");
        body += ',';
    }
    for (auto [name, count] : {std::pair{"added", report.added}, {"replaced", report.replaced},
                               {"removed", report.removed}, {"not_found", report.not_found},
                               {"bad_line_count", report.bad_line_count}})
        body += std::string("\"") + name + "\":" + std::to_string(count) + ',';
    body += "\"bad_lines\":[";
    for (std::size_t i = 0; i < report.bad_lines.size(); ++i) {
        body += i == 0 ? "{\"line\":" : ",{\"line\":";
        body += std::to_string(report.bad_lines[i].number);
        body += ",\"reason\":";
        append_json_string(body, report.bad_lines[i].reason);
        body += '}';
    }
    body += "]}";
    return {report.bad_line_count != 0 ? 400 : 200, std::string(json_type), std::move(body), {}};
}

}  // namespace cumulo::server
