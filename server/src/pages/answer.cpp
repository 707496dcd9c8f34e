#include "pages/answer.h"

#include "text/json_text.h"

#include <array>
#include <cstdio>

namespace cumulo::server {

namespace {

constexpr std::string_view json_type = "application/json; charset=utf-8";
constexpr std::string_view html_type = "text/html; charset=utf-8";

std::string html_escaped(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string_view chinese_type_word(ShareType type)
{
    switch (type) {
    case ShareType::album: return "相册";
    case ShareType::file: return "文件";
    case ShareType::folder: return "文件夹";
    }
    return "文件";
}

std::string html_document(std::string_view title, std::string_view body)
{
    std::string page = "<!DOCTYPE html>\n<html lang=\"zh-CN\">\n<head>\n<meta charset=\"utf-8\">\n<title>";
    page += html_escaped(title);
    page += " - Cumulo 分享</title>\n</head>\n<body>\n";
    page += body;
    page += "</body>\n</html>\n";
    return page;
}

}  // namespace

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
    return {200, std::string(json_type), std::move(out)};
}

HttpAnswer json_error(int status, std::string_view message)
{
    std::string body = "{\"error\":";
    append_json_string(body, message);
    body += '}';
    return {status, std::string(json_type), std::move(body)};
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
    return {report.bad_line_count != 0 ? 400 : 200, std::string(json_type), std::move(body)};
}

std::string readable_size(std::uint64_t bytes)
{
    static constexpr std::array<const char*, 7> units = {"B", "KB", "MB", "GB", "TB", "PB", "EB"};
    if (bytes < 1024)
        return std::to_string(bytes) + " B";
    double value = static_cast<double>(bytes);
    std::size_t unit = 0;
    while (value >= 1024 && unit + 1 < units.size()) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, value < 100 ? "%.1f %s" : "%.0f %s", value, units[unit]);
    return text;
}

HttpAnswer share_page(const Share& share)
{
    std::string body = "<h1>" + html_escaped(share.name) + "</h1>\n<table>\n";
    body += "<tr><th>类型</th><td>" + std::string(chinese_type_word(share.type)) + " ("
            + std::string(type_word(share.type)) + ")</td></tr>\n";
    body += "<tr><th>大小</th><td>" + readable_size(share.size) + " (" + std::to_string(share.size)
            + " 字节)</td></tr>\n";
    body += "<tr><th>分享者</th><td>" + std::to_string(share.uk) + "</td></tr>\n</table>\n";
    return {200, std::string(html_type), html_document(share.name, body)};
}

HttpAnswer share_page_error(int status, std::string_view message)
{
    std::string body = "<h1>" + html_escaped(message) + "</h1>\n";
    return {status, std::string(html_type), html_document(message, body)};
}

}  // namespace cumulo::server
