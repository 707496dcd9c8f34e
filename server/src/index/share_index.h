// The search index, held in memory: every share as the search answers it, its name folded to one
// letter case (letter_case.h) and, for each character and each pair of adjacent characters, the list of shares whose name
// holds it, one list per type. Shares are numbered by their place in size order (equal sizes in
// the order they went in), and every list is kept in that order, so a page in either order is
// read straight off the lists and nothing is ever sorted at query time:
// - keys of one or two characters are answered by one list per type, exactly; the page's first
//   share is found by binary search, whatever `start` is;
// - longer keys walk the intersection of the lists of their pairs (led by the shortest) in the page's order
//   and check each candidate's folded name, stopping as soon as the page is full. A common key
//   fills its page from the first candidates; a rare key has a short list to walk.
#pragma once

#include "index/search_query.h"
#include "catalogue/share.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace cumulo::server {

class ShareIndex {
public:
    // The shares in the order they went in (which orders shares of equal size); at most
    // 2^32 - 1 of them, each valid (share_problem() empty).
    explicit ShareIndex(std::vector<Share> shares);

    // The page the query asks for, in the page's order. Throws SearchDeadlineExceeded
    // (search_deadline.h) when the deadline passes first.
    std::vector<Share> search(const SearchQuery& query, std::chrono::steady_clock::time_point deadline) const;

    std::size_t share_count() const { return records_.size(); }

    // Whether a search for `key` is read off one list per type (a key of one or two
    // characters), which takes little time however many shares match.
    static bool answers_from_one_list(std::string_view key);

    using Rank = std::uint32_t;  // a share's place in size order
    using RankList = std::vector<Rank>;

private:
    static constexpr std::size_t type_count = 3;
    using ListsByType = std::array<RankList, type_count>;

    // A share's numbers and where its texts start in texts_: the name, then the code.
    struct Record {
        std::uint64_t size = 0, shareid = 0, uk = 0;
        std::uint64_t texts_start = 0;
        std::uint16_t name_bytes = 0;
        std::uint8_t code_bytes = 0;
        ShareType type = ShareType::file;
    };
    static_assert(max_name_bytes <= UINT16_MAX && max_code_bytes <= UINT8_MAX);

    Share share_at(Rank rank) const;
    std::string_view folded_name(Rank rank) const;
    std::vector<Rank> exact_page(const std::vector<const RankList*>& lists, const SearchQuery& query) const;
    std::vector<Rank> walked_page(const std::vector<std::vector<const RankList*>>& lists_by_type, std::string_view key,
                                  const SearchQuery& query, std::chrono::steady_clock::time_point deadline) const;

    std::vector<Record> records_;             // by rank
    std::string texts_;
    std::vector<std::uint64_t> name_starts_;  // by rank, then the end of the last name
    std::string folded_names_;
    std::unordered_map<std::uint64_t, ListsByType> lists_;  // by character or pair (gram_of)
};

}  // namespace cumulo::server
