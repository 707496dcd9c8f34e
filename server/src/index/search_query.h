// The search request of GET /api/v1/: its parameters, checked and turned into a query.
// Kept free of HTTP and SQLite so that it can be tested and fuzzed on raw query texts.
#pragma once

#include "catalogue/share.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace cumulo::server {

inline constexpr unsigned max_results = 200;
inline constexpr std::size_t max_key_bytes = 256;
// The deepest row a search may reach: start + limit at most this. Rows past it cost a walk over
// every row before them, so they are refused rather than searched.
inline constexpr std::uint64_t max_window = 10'000;

struct SearchQuery {
    std::string key;                 // UTF-8, non-empty, at most max_key_bytes
    unsigned limit = max_results;    // 0..max_results
    bool descending = false;         // sort by size, largest first
    std::uint64_t start = 0;         // rows skipped before the first one answered; start + limit <= max_window
    std::optional<ShareType> type;   // no value: every type

    bool operator==(const SearchQuery&) const = default;
};

struct ParsedSearchQuery {
    std::optional<SearchQuery> query;
    std::string error;  // set when query is empty: what was wrong, for the 400 answer
};

// Parameters: key (required), limit (digits, larger values are capped at max_results),
// sort (only "size"), desc ("t" or "f"), start (digits; start + limit at most max_window), in ("album", "file", "folder" or
// empty for all). Unknown parameters are ignored; a known one given twice is an error.
ParsedSearchQuery parse_search_query(std::string_view raw_query);

}  // namespace cumulo::server
