// The frame every page shares: head (language, charset, viewport, the stylesheet, script
// and icon by their hashed names), the site's header and footer, and the HTML answer with
// the pages' own Content-Security-Policy.
#pragma once

#include "pages/answer.h"

#include <string>
#include <string_view>

namespace cumulo::server {

// The strict policy of every page; connect-src lets the page's own script fetch results.
inline constexpr std::string_view page_security_policy =
    "default-src 'none'; style-src 'self'; script-src 'self'; img-src 'self'; connect-src 'self'; "
    "form-action 'self'; base-uri 'none'; frame-ancestors 'none'";

struct PageParts {
    std::string title;        // plain text; the site's name is added
    std::string description;  // plain text, for the description meta tag
    std::string main_html;    // the page's own markup, already escaped
};

std::string page_document(const PageParts& parts);

// A text/html answer with the pages' security policy.
HttpAnswer html_answer(int status, const PageParts& parts);

}  // namespace cumulo::server
