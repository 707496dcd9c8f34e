// Splitting and percent-decoding the query part of a request target. Strict: a malformed
// escape is an error rather than a guess, so a client bug shows up as a clear 400.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace cumulo::server {

// Decodes %XX escapes and '+' (a space, as in form encoding); nullopt on a bad escape.
std::optional<std::string> percent_decode(std::string_view text);

struct QueryPairs {
    std::vector<std::pair<std::string, std::string>> pairs;  // in the order given
    std::string error;                                     // empty when the text was well formed
};

// "a=1&b=%E4%B8%AD" -> {("a","1"), ("b","中")}. Empty pieces ("a=1&&b=2") are skipped; a piece
// without '=' is a name with an empty value.
QueryPairs split_query(std::string_view query);

// The part of a request target after the first '?', or empty.
std::string_view query_of_target(std::string_view target);

}  // namespace cumulo::server
