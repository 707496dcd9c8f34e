// The search page at "/": a plain GET form whose address holds the query (key, in, desc,
// page), answered with server-made HTML, so that it works with scripts off and a search can
// be bookmarked. The page's script fetches the same addresses and swaps in their results.
#pragma once

#include "pages/answer.h"
#include "index/search_query.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cumulo::server {

inline constexpr unsigned rows_per_page = 20;
// Pages reach as deep as a search may: max_window rows.
inline constexpr std::uint64_t last_page = max_window / rows_per_page;

struct SearchPageRequest {
    std::string key;  // no blanks around it; empty: the page without results
    std::optional<ShareType> type;
    bool descending = false;
    std::uint64_t page = 1;  // 1..last_page

    bool operator==(const SearchPageRequest&) const = default;
};

struct ParsedSearchPage {
    SearchPageRequest request;  // what could be read, to fill the form again
    std::string error;          // in Chinese, for the page; empty when the request is sound
};

ParsedSearchPage parse_search_page(std::string_view raw_query);

// The page's rows and one more, which tells whether a next page exists.
SearchQuery search_query_of(const SearchPageRequest& request);

// The address of a request, as the form writes it: /?key=..&in=..&desc=..[&page=..].
std::string search_address(const SearchPageRequest& request);

// `rows` as search_query_of asked for them.
HttpAnswer search_page(const SearchPageRequest& request, const std::vector<Share>& rows);
// The form with `request` filled in and the error in place of the results.
HttpAnswer search_page_error(int status, const SearchPageRequest& request, std::string_view error);

}  // namespace cumulo::server
