// The search index: every share as the search answers it, its name folded to one letter case
// (letter_case.h) and, for each character and each pair of adjacent characters, the list of shares
// whose name holds it, one compact list per type (compact_list.h). Its arrays (index_parts.h) are
// either built in memory (share_index_builder.h) or mapped from a snapshot (index_snapshot.h).
// Shares are numbered by their place in size order (equal sizes in the order they went in), and
// every list is kept in that order, so a page in either order is read straight off the lists and
// nothing is ever sorted at query time:
// - keys of one or two characters are answered by one list per type, exactly; the page's first
//   share is found by binary search, whatever `start` is;
// - longer keys walk the intersection of the lists of their pairs (led by the shortest) in the page's order
//   and check each candidate's folded name, stopping as soon as the page is full. A common key
//   fills its page from the first candidates; a rare key has a short list to walk.
#pragma once

#include "index/index_parts.h"
#include "index/search_query.h"
#include "catalogue/share.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace cumulo::server {

class ShareIndex {
public:
    using Rank = cumulo::server::Rank;

    // The shares in the order they went in (which orders shares of equal size); at most
    // 2^32 - 1 of them, each valid (share_problem() empty).
    explicit ShareIndex(std::vector<Share> shares);
    // Arrays that are known to be well formed: made by the builder or checked by the snapshot loader.
    explicit ShareIndex(IndexParts parts);

    // The page the query asks for, in the page's order. Throws SearchDeadlineExceeded
    // (search_deadline.h) when the deadline passes first.
    std::vector<Share> search(const SearchQuery& query, std::chrono::steady_clock::time_point deadline) const;
    // The same page as ranks, for a caller that looks at many matches and keeps few: their
    // numbers are read in place (parts()), and only the kept ones are made shares. With
    // `last_size`, only of the matches no further in the page's order than that size (larger
    // ascending, smaller descending): a caller merging several indexes' pages knows that matches
    // past a size cannot make its page, and the walk stops there.
    std::vector<Rank> search_ranks(const SearchQuery& query, std::chrono::steady_clock::time_point deadline,
                                   std::optional<std::uint64_t> last_size = std::nullopt) const;
    Share share_at(Rank rank) const;

    std::size_t share_count() const { return parts_.numbers.size(); }

    // The arrays, for the snapshot writer.
    const IndexParts& parts() const { return parts_; }

    // Whether a search for `key` is read off one list per type (a key of one or two
    // characters), which takes little time however many shares match.
    static bool answers_from_one_list(std::string_view key);

private:
    std::string_view folded_name(Rank rank) const;
    const ListsByType* lists_of(std::uint64_t gram) const;
    // The ranks a search may answer: [first, end).
    struct RankSpan {
        Rank first = 0, end = 0;
        bool holds(Rank rank) const { return rank >= first && rank < end; }
    };
    RankSpan ranks_up_to(std::optional<std::uint64_t> last_size, bool descending) const;
    std::vector<Rank> exact_page(const std::vector<const CompactList*>& lists, const SearchQuery& query,
                                 RankSpan span) const;
    std::vector<Rank> walked_page(const std::vector<std::vector<const CompactList*>>& lists_by_type, std::string_view key,
                                  const SearchQuery& query, RankSpan span,
                                  std::chrono::steady_clock::time_point deadline) const;

    IndexParts parts_;
    std::unordered_map<std::uint64_t, std::uint32_t> gram_places_;  // gram -> its place in parts_.grams
};

}  // namespace cumulo::server
