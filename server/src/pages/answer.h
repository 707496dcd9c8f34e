// What the service sends back: the search answer in JSON and the share pages in HTML.
#pragma once

#include "catalogue/catalogue_import.h"
#include "catalogue/share.h"

#include <string>
#include <string_view>
#include <vector>

namespace cumulo::server {

struct HttpAnswer {
    int status = 200;
    std::string content_type;
    std::string body;
    std::string challenge{};  // a 401's WWW-Authenticate
};

// {"list":[{"name":...,"type":...,"size":"<digits>","idAuk":"<id>|<uk>"},...]}, pure ASCII.
HttpAnswer search_answer(const std::vector<Share>& shares);
HttpAnswer json_error(int status, std::string_view message);
// What a write did: {"added":n,"replaced":n,"removed":n,"not_found":n,"bad_line_count":n,
// "bad_lines":[{"line":n,"reason":"..."}]}; 400 with an "error" first when any line is bad.
HttpAnswer write_answer(const ImportReport& report);

HttpAnswer share_page(const Share& share);
HttpAnswer share_page_error(int status, std::string_view message);

// "4.2 GB": one decimal below 100 units, binary multiples, for the share page.
std::string readable_size(std::uint64_t bytes);

}  // namespace cumulo::server
