#include "index/share_index.h"

#include "index/letter_case.h"
#include "index/search_deadline.h"

#include <algorithm>
#include <functional>
#include <limits>
#include <optional>
#include <stdexcept>

namespace cumulo::server {

namespace {

using Clock = std::chrono::steady_clock;
using Rank = ShareIndex::Rank;
using RankList = ShareIndex::RankList;

// One character, or a pair of adjacent ones, as one number (code points have 21 bits).
constexpr std::uint64_t pair_flag = 1ull << 42;
std::uint64_t gram_of(std::uint32_t character)
{
    return character;
}
std::uint64_t gram_of(std::uint32_t first, std::uint32_t second)
{
    return pair_flag | (std::uint64_t{first} << 21) | second;
}

// The grams that every name holding the key holds too: its one character, or its pairs.
std::vector<std::uint64_t> grams_of_key(const std::vector<std::uint32_t>& characters)
{
    std::vector<std::uint64_t> grams;
    if (characters.size() == 1)
        grams.push_back(gram_of(characters[0]));
    for (std::size_t i = 1; i < characters.size(); ++i)
        grams.push_back(gram_of(characters[i - 1], characters[i]));
    std::sort(grams.begin(), grams.end());
    grams.erase(std::unique(grams.begin(), grams.end()), grams.end());
    return grams;
}

// Keys of up to this many characters are answered by one list per type, exactly.
constexpr std::size_t most_characters_of_one_list = 2;

// Looks at the clock every so many steps of a walk and gives up past the deadline.
class DeadlineWatch {
public:
    explicit DeadlineWatch(Clock::time_point deadline) : deadline_(deadline) { check(); }
    void step()
    {
        if (++steps_ % steps_between_looks == 0)
            check();
    }

private:
    static constexpr unsigned steps_between_looks = 512;
    void check() const
    {
        if (Clock::now() > deadline_)
            throw SearchDeadlineExceeded("the search ran past its deadline");
    }
    Clock::time_point deadline_;
    unsigned steps_ = 0;
};

// A rank list read in the page's order: backwards for a descending page.
class OrderedList {
public:
    OrderedList(const RankList& list, bool descending) : list_(list), descending_(descending) {}
    std::size_t size() const { return list_.size(); }
    Rank at(std::size_t i) const { return descending_ ? list_[list_.size() - 1 - i] : list_[i]; }
    bool before(Rank a, Rank b) const { return descending_ ? a > b : a < b; }
    // The first place at or after `from` whose rank is not before `target` (size() if none):
    // doubling steps, then halving, so a walk that skips far costs only the log of the skip.
    std::size_t seek(std::size_t from, Rank target) const
    {
        std::size_t low = from, step = 1, high = from;
        while (high < size() && before(at(high), target)) {
            low = high + 1;
            high += step;
            step *= 2;
        }
        high = std::min(high, size());
        while (low < high) {
            std::size_t middle = low + (high - low) / 2;
            if (before(at(middle), target))
                low = middle + 1;
            else
                high = middle;
        }
        return low;
    }

private:
    const RankList& list_;
    bool descending_;
};

// The shares of one type holding a key, in the page's order: the ranks common to the type's
// lists (leapfrogging from one list to the next), each confirmed by its folded name.
class MatchWalk {
public:
    MatchWalk(const std::vector<const RankList*>& lists, bool descending, std::function<bool(Rank)> confirm)
        : places_(lists.size(), 0), confirm_(std::move(confirm))
    {
        for (const RankList* list : lists)
            lists_.emplace_back(*list, descending);
    }

    std::optional<Rank> next(DeadlineWatch& watch)
    {
        OrderedList& first = lists_[0];
        while (places_[0] < first.size()) {
            watch.step();
            Rank candidate = first.at(places_[0]);
            Rank later = candidate;
            for (std::size_t k = 1; k < lists_.size() && later == candidate; ++k) {
                places_[k] = lists_[k].seek(places_[k], candidate);
                if (places_[k] == lists_[k].size()) {
                    places_[0] = first.size();
                    return std::nullopt;
                }
                later = lists_[k].at(places_[k]);
            }
            if (later != candidate) {
                places_[0] = first.seek(places_[0], later);
                continue;
            }
            ++places_[0];
            if (confirm_(candidate))
                return candidate;
        }
        return std::nullopt;
    }

private:
    std::vector<OrderedList> lists_;
    std::vector<std::size_t> places_;
    std::function<bool(Rank)> confirm_;
};

}  // namespace

ShareIndex::ShareIndex(std::vector<Share> shares)
{
    if (shares.size() >= std::numeric_limits<Rank>::max())
        throw std::length_error("the catalogue holds more shares than the search index can number");
    // (size, place) pairs sort without reaching into the shares, and the place keeps equal
    // sizes in the order they went in.
    std::vector<std::pair<std::uint64_t, Rank>> by_size(shares.size());
    for (std::size_t i = 0; i < shares.size(); ++i)
        by_size[i] = {shares[i].size, static_cast<Rank>(i)};
    std::sort(by_size.begin(), by_size.end());
    records_.reserve(shares.size());
    name_starts_.reserve(shares.size() + 1);
    std::vector<std::uint32_t> characters;
    std::vector<std::uint64_t> grams;
    for (std::size_t rank = 0; rank < shares.size(); ++rank) {
        Share& share = shares[by_size[rank].second];
        if (share.name.size() > max_name_bytes || share.code.size() > max_code_bytes)
            throw std::length_error("a share's name or code is longer than the catalogue allows");
        records_.push_back({share.size, share.shareid, share.uk, texts_.size(),
                            static_cast<std::uint16_t>(share.name.size()), static_cast<std::uint8_t>(share.code.size()),
                            share.type});
        texts_ += share.name;
        texts_ += share.code;
        name_starts_.push_back(folded_names_.size());
        characters.clear();
        fold_case(share.name, folded_names_, characters);
        auto type = static_cast<std::size_t>(share.type);
        share = Share();  // the index keeps its own copy

        grams.clear();
        for (std::size_t i = 0; i < characters.size(); ++i) {
            grams.push_back(gram_of(characters[i]));
            if (i > 0)
                grams.push_back(gram_of(characters[i - 1], characters[i]));
        }
        std::sort(grams.begin(), grams.end());
        grams.erase(std::unique(grams.begin(), grams.end()), grams.end());
        for (std::uint64_t gram : grams)
            lists_[gram][type].push_back(static_cast<Rank>(rank));
    }
    name_starts_.push_back(folded_names_.size());
    texts_.shrink_to_fit();
    folded_names_.shrink_to_fit();
    for (auto& [gram, by_type] : lists_)
        for (RankList& list : by_type)
            list.shrink_to_fit();
}

Share ShareIndex::share_at(Rank rank) const
{
    const Record& record = records_[rank];
    Share share;
    share.name = texts_.substr(record.texts_start, record.name_bytes);
    share.code = texts_.substr(record.texts_start + record.name_bytes, record.code_bytes);
    share.type = record.type;
    share.size = record.size;
    share.shareid = record.shareid;
    share.uk = record.uk;
    return share;
}

std::string_view ShareIndex::folded_name(Rank rank) const
{
    return std::string_view(folded_names_).substr(name_starts_[rank], name_starts_[rank + 1] - name_starts_[rank]);
}

bool ShareIndex::answers_from_one_list(std::string_view key)
{
    std::string folded;
    std::vector<std::uint32_t> characters;
    fold_case(key, folded, characters);
    return characters.size() <= most_characters_of_one_list;
}

std::vector<Share> ShareIndex::search(const SearchQuery& query, Clock::time_point deadline) const
{
    DeadlineWatch watch(deadline);
    std::string key;
    std::vector<std::uint32_t> characters;
    fold_case(query.key, key, characters);
    std::vector<std::uint64_t> grams = grams_of_key(characters);

    // For each type asked for, the lists of the key's grams, shortest first; a type with a gram
    // that no name of the type holds has no match at all.
    std::vector<std::vector<const RankList*>> lists_by_type;
    for (std::size_t type = 0; type < type_count; ++type) {
        if (query.type && static_cast<std::size_t>(*query.type) != type)
            continue;
        std::vector<const RankList*> lists;
        for (std::uint64_t gram : grams) {
            auto found = lists_.find(gram);
            if (found == lists_.end() || found->second[type].empty()) {
                lists.clear();
                break;
            }
            lists.push_back(&found->second[type]);
        }
        if (lists.empty())
            continue;
        // Every list narrows the walk: the shortest leads, and a candidate is read from the
        // names (a cache miss each, in a large catalogue) only when every pair is in it.
        std::sort(lists.begin(), lists.end(), [](const RankList* a, const RankList* b) { return a->size() < b->size(); });
        lists_by_type.push_back(std::move(lists));
    }

    std::vector<Rank> ranks;
    if (characters.size() <= most_characters_of_one_list) {
        // One list per type holds exactly the matches.
        std::vector<const RankList*> lists;
        for (const auto& type_lists : lists_by_type)
            lists.push_back(type_lists[0]);
        ranks = exact_page(lists, query);
    } else {
        ranks = walked_page(lists_by_type, key, query, deadline);
    }
    std::vector<Share> page;
    page.reserve(ranks.size());
    for (Rank rank : ranks)
        page.push_back(share_at(rank));
    return page;
}

std::vector<Rank> ShareIndex::exact_page(const std::vector<const RankList*>& lists, const SearchQuery& query) const
{
    // The matches are the union of the lists (a share has one type): the page is the places
    // [first, last) of the union in ascending order, reversed when descending.
    std::uint64_t total = 0;
    for (const RankList* list : lists)
        total += list->size();
    std::uint64_t end = std::min<std::uint64_t>(total, query.start + query.limit);
    if (query.start >= end)
        return {};
    std::uint64_t first = query.descending ? total - end : query.start;
    std::uint64_t last = query.descending ? total - query.start : end;

    // The smallest rank with more than `first` matches at or below it is the page's first share.
    auto matches_up_to = [&lists](Rank rank) {
        std::uint64_t count = 0;
        for (const RankList* list : lists)
            count += static_cast<std::uint64_t>(std::upper_bound(list->begin(), list->end(), rank) - list->begin());
        return count;
    };
    Rank low = 0, high = static_cast<Rank>(share_count() - 1);
    while (low < high) {
        Rank middle = low + (high - low) / 2;
        if (matches_up_to(middle) > first)
            high = middle;
        else
            low = middle + 1;
    }
    std::vector<std::size_t> places;
    for (const RankList* list : lists)
        places.push_back(static_cast<std::size_t>(std::lower_bound(list->begin(), list->end(), low) - list->begin()));

    std::vector<Rank> page;
    page.reserve(last - first);
    while (page.size() < last - first) {
        std::size_t next = lists.size();
        for (std::size_t k = 0; k < lists.size(); ++k)
            if (places[k] < lists[k]->size() && (next == lists.size() || (*lists[k])[places[k]] < (*lists[next])[places[next]]))
                next = k;
        page.push_back((*lists[next])[places[next]++]);
    }
    if (query.descending)
        std::reverse(page.begin(), page.end());
    return page;
}

std::vector<Rank> ShareIndex::walked_page(const std::vector<std::vector<const RankList*>>& lists_by_type,
                                          std::string_view key, const SearchQuery& query,
                                          Clock::time_point deadline) const
{
    DeadlineWatch watch(deadline);
    auto holds_key = [this, key](Rank rank) { return folded_name(rank).find(key) != std::string_view::npos; };
    std::vector<MatchWalk> walks;
    std::vector<std::optional<Rank>> heads;
    for (const auto& lists : lists_by_type) {
        walks.emplace_back(lists, query.descending, holds_key);
        heads.push_back(walks.back().next(watch));
    }

    // Merges the types' walks in the page's order, skipping the first `start` matches.
    auto before = [&query](Rank a, Rank b) { return query.descending ? a > b : a < b; };
    std::vector<Rank> page;
    for (std::uint64_t seen = 0; page.size() < query.limit;) {
        std::size_t next = heads.size();
        for (std::size_t k = 0; k < heads.size(); ++k)
            if (heads[k] && (next == heads.size() || before(*heads[k], *heads[next])))
                next = k;
        if (next == heads.size())
            break;
        if (seen++ >= query.start)
            page.push_back(*heads[next]);
        watch.step();
        heads[next] = walks[next].next(watch);
    }
    return page;
}

}  // namespace cumulo::server
