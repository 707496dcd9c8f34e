// Fuzz entry for the service's request parsing: the query part of a target,
// its pairs and escapes, and the search parameters. A query that parses must
// satisfy the limits the service promises.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "http/query_string.h"
#include "index/search_query.h"

using namespace cumulo::server;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view target(reinterpret_cast<const char*>(data), size);
    const std::string_view raw = query_of_target(target);
    (void)split_query(raw);
    (void)percent_decode(raw);

    const ParsedSearchQuery parsed = parse_search_query(raw);
    if (parsed.query) {
        const SearchQuery& q = *parsed.query;
        if (q.key.empty() || q.key.size() > max_key_bytes || q.limit > max_results || q.start + q.limit > max_window)
            __builtin_trap();
    } else if (parsed.error.empty()) {
        __builtin_trap();  // a refusal always says why
    }
    return 0;
}
