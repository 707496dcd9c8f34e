#include "pages/share_page.h"

#include "pages/html_text.h"
#include "pages/page_layout.h"

#include <array>

namespace cumulo::server {

namespace {

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '-'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '-'))
        text.remove_suffix(1);
    return text;
}

// The small search form of the share and error pages.
std::string similar_form(std::string_view heading, std::string_view key)
{
    std::string html = "<section class=\"similar\" aria-labelledby=\"similar-heading\"><h2 id=\"similar-heading\">";
    html += heading;
    html += "</h2>\n<form class=\"search compact\" action=\"/\" method=\"get\" role=\"search\">"
            "<label class=\"key-label\" for=\"key\">关键词</label><div class=\"bar\">"
            "<input id=\"key\" name=\"key\" type=\"search\" data-search-box autocomplete=\"off\" "
            "spellcheck=\"false\" enterkeyhint=\"search\" value=\"";
    html += html_escaped(key);
    html += "\"><button type=\"submit\">搜索</button></div></form>\n</section>\n";
    return html;
}

std::string_view status_headline(int status)
{
    switch (status) {
    case 404: return "找不到这个页面";
    case 503: return "服务正忙，请稍后再试";
    default: return status >= 500 ? "服务出了点问题" : "无法处理这个请求";
    }
}

}  // namespace

std::string grouped_digits(std::uint64_t number)
{
    std::string digits = std::to_string(number);
    for (std::size_t at = digits.size(); at > 3; at -= 3)
        digits.insert(at - 3, ",");
    return digits;
}

std::string similar_key(std::string_view name)
{
    std::string_view stem = name;
    if (std::size_t dot = stem.rfind('.'); dot != std::string_view::npos && stem.size() - dot <= 6 && dot > 0)
        stem = stem.substr(0, dot);
    std::string_view rest = trimmed(stem);
    if (rest.starts_with("【")) {
        if (std::size_t end = rest.find("】"); end != std::string_view::npos)
            rest = trimmed(rest.substr(end + std::string_view("】").size()));
    }
    std::size_t digits = 0;
    while (digits < rest.size() && is_digit(rest[digits]))
        ++digits;
    if (digits > 0 && rest.substr(digits).starts_with("年"))
        rest = trimmed(rest.substr(digits + std::string_view("年").size()));
    static constexpr std::array<std::string_view, 10> stops = {"_", "(", "（", "【", "[", " - ", "第", " 全", " Lecture", " 电影版"};
    std::size_t cut = rest.size();
    for (std::size_t i = 0; i < rest.size(); ++i) {
        if (is_digit(rest[i])) {
            cut = std::min(cut, i);
            break;
        }
    }
    for (std::string_view stop : stops)
        cut = std::min(cut, rest.find(stop));
    std::string_view key = trimmed(rest.substr(0, cut));
    return std::string(key.size() >= 2 ? key : trimmed(stem));
}

HttpAnswer share_page(const Share& share)
{
    std::string address = share_path(share);
    PageParts parts;
    parts.title = share.name;
    parts.description = "分享的" + std::string(chinese_type_word(share.type)) + "：" + share.name
                        + (share.size ? "，" + size_text(share.size) : std::string());
    std::string& html = parts.main_html;
    html = "<p class=\"back\"><a href=\"/\" data-back>← 返回搜索</a></p>\n<article class=\"share\">\n<h1>";
    html += html_escaped(share.name);
    html += "</h1>\n<dl class=\"facts\">\n<dt>资源类型</dt><dd>";
    html += chinese_type_word(share.type);
    html += "</dd>\n<dt>资源大小</dt><dd>";
    html += share.size ? size_text(share.size) + "<span class=\"bytes\">（" + grouped_digits(share.size) + " 字节）</span>"
                       : std::string("未知");
    html += "</dd>\n<dt>分享者</dt><dd>用户 " + std::to_string(share.uk) + "</dd>\n";
    html += "<dt><label for=\"share-address\">分享地址</label></dt><dd><div class=\"copy\">"
            "<input id=\"share-address\" readonly value=\"";
    html += html_escaped(address);
    html += "\"><button id=\"copy-address\" type=\"button\" hidden>复制地址</button></div>"
            "<p id=\"copy-note\" class=\"note\" role=\"status\"></p></dd>\n</dl>\n</article>\n";
    html += similar_form("搜索相似名称", similar_key(share.name));
    return html_answer(200, parts);
}

HttpAnswer error_page(int status, std::string_view detail)
{
    PageParts parts;
    parts.title = std::string(status_headline(status));
    parts.description = parts.title;
    parts.main_html = "<article class=\"share missing\">\n<p class=\"code\">" + std::to_string(status) + "</p>\n<h1>";
    parts.main_html += status_headline(status);
    parts.main_html += "</h1>\n<p>" + html_escaped(detail) + "</p>\n<p><a href=\"/\">回到搜索首页</a></p>\n</article>\n";
    parts.main_html += similar_form("搜索分享资源", "");
    return html_answer(status, parts);
}

}  // namespace cumulo::server
