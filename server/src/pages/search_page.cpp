#include "pages/search_page.h"

#include "http/query_string.h"
#include "pages/html_text.h"
#include "pages/page_layout.h"
#include "text/decimal.h"
#include "text/utf8.h"

#include <algorithm>
#include <array>

namespace cumulo::server {

namespace {

std::string_view trimmed(std::string_view text)
{
    constexpr std::string_view blanks = " \t\r\n\f\v";
    std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

struct TypeChoice {
    std::string_view value;  // the API's word, empty for every type
    std::string_view label;
    std::optional<ShareType> type;
};

constexpr std::array<TypeChoice, 4> type_choices = {{
    {"", "默认", std::nullopt},
    {"album", "相册", ShareType::album},
    {"file", "文件", ShareType::file},
    {"folder", "文件夹", ShareType::folder},
}};

// The search form; `key_autofocus` puts the caret in the box on the page without results.
std::string search_form(const SearchPageRequest& request, bool key_autofocus)
{
    std::string html = "<form class=\"search\" action=\"/\" method=\"get\" role=\"search\">\n"
                       "<label class=\"key-label\" for=\"key\">关键词</label>\n<div class=\"bar\">"
                       "<input id=\"key\" name=\"key\" type=\"search\" data-search-box autocomplete=\"off\" "
                       "spellcheck=\"false\" enterkeyhint=\"search\" placeholder=\"例如：考研英语、三体、Linux\" value=\"";
    html += html_escaped(request.key);
    html += key_autofocus ? "\" autofocus>" : "\">";
    html += "<button type=\"submit\">搜索</button></div>\n<div class=\"options\">\n"
            "<fieldset class=\"types\"><legend>资源类型</legend>";
    for (const TypeChoice& choice : type_choices) {
        html += "<label class=\"chip\"><input type=\"radio\" name=\"in\" value=\"";
        html += choice.value;
        html += choice.type == request.type ? "\" checked><span>" : "\"><span>";
        html += choice.label;
        html += "</span></label>";
    }
    html += "</fieldset>\n<div class=\"order\"><label for=\"desc\">排序</label><select id=\"desc\" name=\"desc\">";
    html += request.descending ? "<option value=\"f\">大小从小到大</option><option value=\"t\" selected>大小从大到小</option>"
                               : "<option value=\"f\" selected>大小从小到大</option><option value=\"t\">大小从大到小</option>";
    html += "</select></div>\n</div>\n<noscript><p class=\"hint\">选好类型或排序后按“搜索”。</p></noscript>\n</form>\n";
    return html;
}

std::string results_table(const SearchPageRequest& request, const std::vector<Share>& rows, std::size_t shown)
{
    SearchPageRequest reversed = request;
    reversed.descending = !request.descending;
    reversed.page = 1;
    std::string html = "<div class=\"table-wrap\"><table class=\"results\">\n<thead><tr>"
                       "<th scope=\"col\" class=\"num\">序号</th><th scope=\"col\" class=\"name\">资源名称</th>"
                       "<th scope=\"col\" class=\"type\">资源类型</th><th scope=\"col\" class=\"size\" aria-sort=\"";
    html += request.descending ? "descending" : "ascending";
    html += "\"><a data-nav href=\"" + html_escaped(search_address(reversed)) + "\">资源大小<span aria-hidden=\"true\">";
    html += request.descending ? " ↓" : " ↑";
    html += "</span><span class=\"visually-hidden\">（改为";
    html += request.descending ? "从小到大" : "从大到小";
    html += "）</span></a></th></tr></thead>\n<tbody>\n";
    std::uint64_t first_number = (request.page - 1) * rows_per_page + 1;
    for (std::size_t i = 0; i < shown; ++i) {
        const Share& share = rows[i];
        html += "<tr><td class=\"num\">" + std::to_string(first_number + i) + "</td><td class=\"name\"><a href=\"";
        html += html_escaped(share_path(share));
        html += "\">" + html_escaped(share.name) + "</a></td><td class=\"type\">";
        html += chinese_type_word(share.type);
        html += "</td><td class=\"size\">" + size_text(share.size) + "</td></tr>\n";
    }
    html += "</tbody>\n</table></div>\n";
    return html;
}

std::string page_links(const SearchPageRequest& request, bool has_next)
{
    if (request.page == 1 && !has_next)
        return {};
    std::string html = "<nav class=\"pages\" aria-label=\"翻页\">";
    SearchPageRequest other = request;
    if (request.page > 1) {
        other.page = request.page - 1;
        html += "<a data-nav rel=\"prev\" href=\"" + html_escaped(search_address(other)) + "\">上一页</a>";
    }
    html += "<span aria-current=\"page\">第 " + std::to_string(request.page) + " 页</span>";
    if (has_next) {
        other.page = request.page + 1;
        html += "<a data-nav rel=\"next\" href=\"" + html_escaped(search_address(other)) + "\">下一页</a>";
    }
    html += "</nav>\n";
    return html;
}

std::string quoted_key(const SearchPageRequest& request)
{
    return "“" + html_escaped(request.key) + "”";
}

// The page: the form, the status line that screen readers announce, and the results region
// that the script replaces.
HttpAnswer whole_page(int status, const SearchPageRequest& request, std::string_view status_html,
                      std::string_view results_html)
{
    PageParts parts;
    parts.title = request.key.empty() ? "搜索" : "“" + request.key + "”的搜索结果";
    parts.description = "搜索公开分享的文件、文件夹和相册：按名称查找，按类型筛选，按大小排序。";
    parts.main_html = "<h1>搜索分享资源</h1>\n" + search_form(request, request.key.empty());
    parts.main_html += "<p id=\"result-status\" class=\"status\" role=\"status\" aria-live=\"polite\">";
    parts.main_html += status_html;
    parts.main_html += "</p>\n<section id=\"results\" aria-label=\"搜索结果\">\n";
    parts.main_html += results_html;
    parts.main_html += "</section>\n";
    return html_answer(status, parts);
}

}  // namespace

ParsedSearchPage parse_search_page(std::string_view raw_query)
{
    ParsedSearchPage parsed;
    QueryPairs pairs = split_query(raw_query);
    if (!pairs.error.empty()) {
        parsed.error = "搜索地址无效：" + pairs.error;
        return parsed;
    }
    SearchPageRequest& request = parsed.request;
    std::string error;
    // The first of a repeated parameter counts, as a form never repeats one.
    auto first = [&](std::string_view name) -> const std::string* {
        for (const auto& [given, value] : pairs.pairs)
            if (given == name)
                return &value;
        return nullptr;
    };
    if (const std::string* key = first("key")) {
        if (key->find('\0') != std::string::npos || !is_valid_utf8(*key))
            error = "关键词不是有效的 UTF-8 文本。";
        else if (trimmed(*key).size() > max_key_bytes)
            error = "关键词太长：最多 " + std::to_string(max_key_bytes) + " 字节。";
        else
            request.key = std::string(trimmed(*key));
    }
    if (const std::string* in = first("in"); in && !in->empty()) {
        request.type = type_from_word(*in);
        if (!request.type)
            error = "资源类型只能是相册、文件或文件夹。";
    }
    if (const std::string* desc = first("desc"))
        request.descending = *desc == "t";
    if (const std::string* page = first("page")) {
        std::optional<std::uint64_t> number = parse_decimal_up_to(*page, last_page);
        if (!number || *number == 0)
            error = "页码应在 1 到 " + std::to_string(last_page) + " 之间。";
        else
            request.page = *number;
    }
    parsed.error = std::move(error);
    return parsed;
}

SearchQuery search_query_of(const SearchPageRequest& request)
{
    SearchQuery query;
    query.key = request.key;
    query.type = request.type;
    query.descending = request.descending;
    query.start = (request.page - 1) * rows_per_page;
    query.limit = static_cast<unsigned>(std::min<std::uint64_t>(rows_per_page + 1, max_window - query.start));
    return query;
}

std::string search_address(const SearchPageRequest& request)
{
    std::string address = "/?key=" + query_encoded(request.key) + "&in=";
    if (request.type)
        address += type_word(*request.type);
    address += request.descending ? "&desc=t" : "&desc=f";
    if (request.page > 1)
        address += "&page=" + std::to_string(request.page);
    return address;
}

HttpAnswer search_page(const SearchPageRequest& request, const std::vector<Share>& rows)
{
    if (request.key.empty())
        return whole_page(200, request, "输入关键词，按名称搜索公开分享的资源。", "");
    std::size_t shown = std::min<std::size_t>(rows.size(), rows_per_page);
    bool has_next = rows.size() > rows_per_page;
    std::string status;
    std::string results;
    if (shown == 0) {
        status = request.page == 1 ? "没有找到名称含有" + quoted_key(request) + "的资源。"
                                   : quoted_key(request) + "没有第 " + std::to_string(request.page) + " 页的结果。";
    } else {
        std::uint64_t first = (request.page - 1) * rows_per_page + 1;
        status = quoted_key(request);
        if (request.page == 1 && !has_next)
            status += "：找到 " + std::to_string(shown) + " 个资源。";
        else
            status += "：第 " + std::to_string(request.page) + " 页，第 " + std::to_string(first) + "–"
                      + std::to_string(first + shown - 1) + " 个资源。";
        results = results_table(request, rows, shown) + page_links(request, has_next);
    }
    if (shown == 0 && request.page > 1)
        results = page_links(request, false);
    return whole_page(200, request, status, results);
}

HttpAnswer search_page_error(int status, const SearchPageRequest& request, std::string_view error)
{
    return whole_page(status, request, html_escaped(error), "");
}

}  // namespace cumulo::server
