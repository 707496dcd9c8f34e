#include "pages/page_layout.h"

#include "http/protective_headers.h"
#include "pages/html_text.h"
#include "pages/static_assets.h"

namespace cumulo::server {

namespace {

constexpr std::string_view site_name = "Cumulo 分享搜索";

}  // namespace

std::string page_security_policy()
{
    return std::string(content_security_policy) + "; connect-src 'self'";
}

std::string page_document(const PageParts& parts)
{
    std::string page = "<!DOCTYPE html>\n<html lang=\"zh-CN\">\n<head>\n<meta charset=\"utf-8\">\n"
                       "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
                       "<meta name=\"color-scheme\" content=\"light dark\">\n<title>";
    page += html_escaped(parts.title);
    page += " - ";
    page += site_name;
    page += "</title>\n<meta name=\"description\" content=\"";
    page += html_escaped(parts.description);
    page += "\">\n<link rel=\"stylesheet\" href=\"";
    page += stylesheet_asset.path;
    page += "\">\n<link rel=\"icon\" type=\"image/svg+xml\" href=\"";
    page += icon_asset.path;
    page += "\">\n<script src=\"";
    page += script_asset.path;
    page += "\" defer></script>\n</head>\n<body>\n<a class=\"skip\" href=\"#main\">跳到主要内容</a>\n"
            "<header class=\"site\"><a class=\"brand\" href=\"/\"><img src=\"";
    page += icon_asset.path;
    page += "\" alt=\"\" width=\"28\" height=\"28\">";
    page += site_name;
    page += "</a></header>\n<main id=\"main\" tabindex=\"-1\">\n";
    page += parts.main_html;
    page += "</main>\n<footer class=\"site\"><p>公开分享的资源索引，可在桌面工具中同样搜索。"
            "按 <kbd>/</kbd> 跳到搜索框。</p></footer>\n</body>\n</html>\n";
    return page;
}

HttpAnswer html_answer(int status, const PageParts& parts)
{
    return {status, "text/html; charset=utf-8", page_document(parts),
            {{"Content-Security-Policy", page_security_policy()}, {"Cache-Control", "no-cache"}}};
}

}  // namespace cumulo::server
