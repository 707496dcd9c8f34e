// The frame every page shares: head (language, charset, viewport, the stylesheet, script
// and icon by their hashed names), the site's header and footer, and the HTML answer with
// the pages' own Content-Security-Policy.
#pragma once

#include "pages/answer.h"

#include <string>
#include <string_view>

namespace cumulo::server {

// The service's policy (http/protective_headers.h) and connect-src 'self', so that the page's
// own script may fetch results from the service.
std::string page_security_policy();

struct PageParts {
    std::string title;        // plain text; the site's name is added
    std::string description;  // plain text, for the description meta tag
    std::string main_html;    // the page's own markup, already escaped
};

std::string page_document(const PageParts& parts);

// A text/html answer with the pages' security policy.
HttpAnswer html_answer(int status, const PageParts& parts);

}  // namespace cumulo::server
