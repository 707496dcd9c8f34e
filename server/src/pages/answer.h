// What the service sends back (status, type, body and the few headers an answer adds), and
// the search API's answers in JSON.
#pragma once

#include "catalogue/catalogue_import.h"
#include "catalogue/share.h"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace cumulo::server {

struct HttpAnswer {
    int status = 200;
    std::string content_type;
    std::string body;
    // Headers of this answer alone (caching, its own security policy), sent as they are.
    std::vector<std::pair<std::string, std::string>> headers;

    // The value of header `name` (ASCII letter case ignored), or an empty text.
    std::string_view header(std::string_view name) const;
};

// {"list":[{"name":...,"type":...,"size":"<digits>","idAuk":"<id>|<uk>"},...]}, pure ASCII.
HttpAnswer search_answer(const std::vector<Share>& shares);
HttpAnswer json_error(int status, std::string_view message);
// What a write did: {"added":n,"replaced":n,"removed":n,"not_found":n,"bad_line_count":n,
// "bad_lines":[{"line":n,"reason":"..."}]}; 400 with an "error" first when any line is bad.
HttpAnswer write_answer(const ImportReport& report);

}  // namespace cumulo::server
