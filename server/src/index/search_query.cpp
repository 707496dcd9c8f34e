#include "index/search_query.h"

#include "text/decimal.h"
#include "http/query_string.h"
#include "text/utf8.h"

#include <algorithm>
#include <array>

namespace cumulo::server {

namespace {

ParsedSearchQuery refuse(std::string reason)
{
    return {std::nullopt, std::move(reason)};
}

}  // namespace

ParsedSearchQuery parse_search_query(std::string_view raw_query)
{
    QueryPairs pairs = split_query(raw_query);
    if (!pairs.error.empty())
        return refuse(pairs.error);

    static constexpr std::array<std::string_view, 6> known = {"key", "limit", "sort", "desc", "start", "in"};
    std::array<const std::string*, known.size()> given{};
    for (const auto& [name, value] : pairs.pairs) {
        for (std::size_t k = 0; k < known.size(); ++k) {
            if (name != known[k])
                continue;
            if (given[k])
                return refuse("parameter '" + name + "' is given more than once");
            given[k] = &value;
        }
    }
    const auto [key, limit, sort, desc, start, in] = given;

    SearchQuery query;
    if (!key)
        return refuse("parameter 'key' is missing");
    if (key->empty())
        return refuse("parameter 'key' is empty");
    if (key->size() > max_key_bytes)
        return refuse("parameter 'key' is longer than " + std::to_string(max_key_bytes) + " bytes");
    if (key->find('\0') != std::string::npos || !is_valid_utf8(*key))
        return refuse("parameter 'key' is not UTF-8 text");
    query.key = *key;

    if (limit) {
        auto value = parse_decimal(*limit, max_results);
        if (!value)
            return refuse("parameter 'limit' must be a number of results");
        query.limit = static_cast<unsigned>(std::min<std::uint64_t>(*value, max_results));
    }
    if (sort && *sort != "size")
        return refuse("parameter 'sort' must be 'size'");
    if (desc) {
        if (*desc != "t" && *desc != "f")
            return refuse("parameter 'desc' must be 't' or 'f'");
        query.descending = *desc == "t";
    }
    if (start) {
        auto value = parse_decimal(*start, max_window);
        if (!value)
            return refuse("parameter 'start' must be a number of rows");
        if (*value + query.limit > max_window)
            return refuse("parameters 'start' + 'limit' must be at most " + std::to_string(max_window));
        query.start = *value;
    }
    if (in && !in->empty()) {
        query.type = type_from_word(*in);
        if (!query.type)
            return refuse("parameter 'in' must be 'album', 'file', 'folder' or empty");
    }
    return {std::move(query), {}};
}

}  // namespace cumulo::server
