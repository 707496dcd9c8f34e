#include "index/share_index.h"

#include "index/grams.h"
#include "index/letter_case.h"
#include "index/search_deadline.h"
#include "index/share_index_builder.h"

#include <algorithm>
#include <functional>
#include <limits>
#include <optional>
#include <stdexcept>

namespace cumulo::server {

namespace {

using Clock = std::chrono::steady_clock;
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

// A compact list read in the page's order (backwards for a descending page), a block at a time:
// ascending, a block is decoded only as far as the walk reads it; descending, whole.
class ListCursor {
public:
    ListCursor(const CompactList& list, bool descending) : list_(&list), descending_(descending)
    {
        if (list.empty()) {
            done_ = true;
            return;
        }
        load(descending ? list.block_count() - 1 : 0);
    }
    bool done() const { return done_; }
    Rank value() const { return block_ranks_[place_]; }
    bool before(Rank a, Rank b) const { return descending_ ? a > b : a < b; }

    void next()
    {
        if (descending_) {
            if (place_ > 0)
                --place_;
            else
                move_to_block(std::int64_t{block_} - 1);
            return;
        }
        if (place_ + 1 == entries_) {
            move_to_block(std::int64_t{block_} + 1);
            return;
        }
        if (++place_ == decoded_) {
            block_ranks_[place_] = block_ranks_[place_ - 1] + list_->number_at(byte_place_);
            ++decoded_;
        }
    }

    // Moves to the first rank at or after the current one that is not before `target`: to the
    // right block through the skip table, so a walk that skips far decodes little.
    void seek(Rank target)
    {
        if (done_ || !before(value(), target))
            return;
        if (descending_) {
            if (block_ranks_[0] > target) {
                std::int64_t block = block_at_or_below_before(target);
                if (block < 0) {
                    done_ = true;
                    return;
                }
                load(static_cast<std::uint32_t>(block));
            }
        } else if (block_ + 1 < list_->block_count() && list_->block_first(block_ + 1) <= target) {
            load(static_cast<std::uint32_t>(block_at_or_below_after(target)));
        }
        while (before(value(), target)) {
            next();
            if (done_)
                return;
        }
    }

private:
    // The last block after this one whose first rank is at or below `target`, knowing the next
    // block's is: steps that double from here, then halving, so a short skip reads few
    // skip-table entries.
    std::int64_t block_at_or_below_after(Rank target) const
    {
        std::int64_t low = block_ + 1, high = low + 1, count = list_->block_count();
        for (std::int64_t step = 1; high < count && list_->block_first(static_cast<std::uint32_t>(high)) <= target;
             step *= 2) {
            low = high;
            high = low + step * 2;
        }
        high = std::min(high, count);
        while (high - low > 1) {
            std::int64_t middle = low + (high - low) / 2;
            (list_->block_first(static_cast<std::uint32_t>(middle)) <= target ? low : high) = middle;
        }
        return low;
    }
    // The last block before this one whose first rank is at or below `target`, or -1: the same
    // search, backwards.
    std::int64_t block_at_or_below_before(Rank target) const
    {
        std::int64_t high = block_, low = high - 1;
        for (std::int64_t step = 1; low >= 0 && list_->block_first(static_cast<std::uint32_t>(low)) > target; step *= 2) {
            high = low;
            low = high - step * 2;
        }
        low = std::max<std::int64_t>(low, -1);
        while (high - low > 1) {
            std::int64_t middle = low + (high - low) / 2;
            (list_->block_first(static_cast<std::uint32_t>(middle)) <= target ? low : high) = middle;
        }
        return low;
    }

    void move_to_block(std::int64_t block)
    {
        if (block < 0 || block >= list_->block_count())
            done_ = true;
        else
            load(static_cast<std::uint32_t>(block));
    }
    void load(std::uint32_t block)
    {
        block_ = block;
        if (descending_) {
            entries_ = decoded_ = list_->decode_block(block, block_ranks_);
            place_ = entries_ - 1;
            return;
        }
        entries_ = list_->entries_in_block(block);
        byte_place_ = list_->block_start(block);
        block_ranks_[0] = list_->number_at(byte_place_);
        decoded_ = 1;
        place_ = 0;
    }

    const CompactList* list_;
    bool descending_;
    bool done_ = false;
    std::uint32_t block_ = 0, entries_ = 0, place_ = 0;
    std::uint32_t decoded_ = 0;     // ranks of the block in block_ranks_
    std::size_t byte_place_ = 0;    // where the next undecoded number starts (ascending)
    Rank block_ranks_[block_entries] = {};
};

// How many of the list's ranks are at or below `rank`.
std::uint64_t count_up_to(const CompactList& list, Rank rank)
{
    std::uint32_t block = list.last_block_at_or_below(rank);
    if (block == list.block_count())
        return 0;
    Rank ranks[block_entries];
    std::uint32_t entries = list.decode_block(block, ranks);
    return std::uint64_t{block} * block_entries + static_cast<std::uint64_t>(std::upper_bound(ranks, ranks + entries, rank) - ranks);
}

// The shares of one type holding a key, in the page's order: the ranks common to the type's
// lists (leapfrogging from one list to the next), each confirmed by its folded name, until the
// walk leaves `answered`.
class MatchWalk {
public:
    MatchWalk(const std::vector<const CompactList*>& lists, bool descending, std::function<bool(Rank)> confirm,
              std::function<bool(Rank)> answered)
        : confirm_(std::move(confirm)), answered_(std::move(answered))
    {
        for (const CompactList* list : lists)
            cursors_.emplace_back(*list, descending);
    }

    std::optional<Rank> next(DeadlineWatch& watch)
    {
        ListCursor& lead = cursors_[0];
        while (!lead.done()) {
            watch.step();
            Rank candidate = lead.value();
            if (!answered_(candidate))
                return std::nullopt;
            Rank later = candidate;
            for (std::size_t k = 1; k < cursors_.size() && later == candidate; ++k) {
                cursors_[k].seek(candidate);
                if (cursors_[k].done())
                    return std::nullopt;
                later = cursors_[k].value();
            }
            if (later != candidate) {
                lead.seek(later);
                continue;
            }
            lead.next();
            if (confirm_(candidate))
                return candidate;
        }
        return std::nullopt;
    }

private:
    std::vector<ListCursor> cursors_;
    std::function<bool(Rank)> confirm_;
    std::function<bool(Rank)> answered_;
};

}  // namespace

ShareIndex::ShareIndex(std::vector<Share> shares) : ShareIndex(build_index_parts(std::move(shares))) {}

ShareIndex::ShareIndex(IndexParts parts) : parts_(std::move(parts))
{
    gram_places_.reserve(parts_.grams.size());
    for (std::size_t place = 0; place < parts_.grams.size(); ++place)
        gram_places_.emplace(parts_.grams[place], static_cast<std::uint32_t>(place));
}

Share ShareIndex::share_at(Rank rank) const
{
    const ShareNumbers& numbers = parts_.numbers[rank];
    const ShareLengths& lengths = parts_.lengths[rank];
    Share share;
    share.name = parts_.texts.substr(numbers.texts_start, lengths.name_bytes);
    share.code = parts_.texts.substr(numbers.texts_start + lengths.name_bytes, lengths.code_bytes);
    share.type = static_cast<ShareType>(lengths.type);
    share.size = numbers.size;
    share.shareid = numbers.shareid;
    share.uk = numbers.uk;
    return share;
}

std::string_view ShareIndex::folded_name(Rank rank) const
{
    const ShareNumbers& numbers = parts_.numbers[rank];
    const ShareLengths& lengths = parts_.lengths[rank];
    if (lengths.folded_bytes == 0)
        return parts_.texts.substr(numbers.texts_start, lengths.name_bytes);
    return parts_.texts.substr(numbers.texts_start + lengths.name_bytes + lengths.code_bytes, lengths.folded_bytes);
}

const ListsByType* ShareIndex::lists_of(std::uint64_t gram) const
{
    auto found = gram_places_.find(gram);
    return found == gram_places_.end() ? nullptr : &parts_.lists[found->second];
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
    std::vector<Rank> ranks = search_ranks(query, deadline);
    std::vector<Share> page;
    page.reserve(ranks.size());
    for (Rank rank : ranks)
        page.push_back(share_at(rank));
    return page;
}

ShareIndex::RankSpan ShareIndex::ranks_up_to(std::optional<std::uint64_t> last_size, bool descending) const
{
    RankSpan span{0, static_cast<Rank>(share_count())};
    if (!last_size)
        return span;
    // Ranks are in size order: the sizes past the last one are a run at one end.
    auto past = [&](const ShareNumbers& numbers) { return descending ? numbers.size < *last_size : numbers.size <= *last_size; };
    Rank boundary = static_cast<Rank>(std::partition_point(parts_.numbers.begin(), parts_.numbers.end(), past)
                                      - parts_.numbers.begin());
    (descending ? span.first : span.end) = boundary;
    return span;
}

std::vector<Rank> ShareIndex::search_ranks(const SearchQuery& query, Clock::time_point deadline,
                                           std::optional<std::uint64_t> last_size) const
{
    DeadlineWatch watch(deadline);
    std::string key;
    std::vector<std::uint32_t> characters;
    fold_case(query.key, key, characters);
    std::vector<std::uint64_t> grams = grams_of_key(characters);

    // For each type asked for, the lists of the key's grams, shortest first; a type with a gram
    // that no name of the type holds has no match at all.
    std::vector<std::vector<const CompactList*>> lists_by_type;
    for (std::size_t type = 0; type < share_type_count; ++type) {
        if (query.type && static_cast<std::size_t>(*query.type) != type)
            continue;
        std::vector<const CompactList*> lists;
        for (std::uint64_t gram : grams) {
            const ListsByType* found = lists_of(gram);
            if (found == nullptr || (*found)[type].empty()) {
                lists.clear();
                break;
            }
            lists.push_back(&(*found)[type]);
        }
        if (lists.empty())
            continue;
        // Every list narrows the walk: the shortest leads, and a candidate is read from the
        // names (a cache miss each, in a large catalogue) only when every pair is in it.
        std::sort(lists.begin(), lists.end(), [](const CompactList* a, const CompactList* b) { return a->count < b->count; });
        lists_by_type.push_back(std::move(lists));
    }

    if (characters.size() <= most_characters_of_one_list) {
        // One list per type holds exactly the matches.
        std::vector<const CompactList*> lists;
        for (const auto& type_lists : lists_by_type)
            lists.push_back(type_lists[0]);
        return exact_page(lists, query, ranks_up_to(last_size, query.descending));
    }
    return walked_page(lists_by_type, key, query, ranks_up_to(last_size, query.descending), deadline);
}

std::vector<Rank> ShareIndex::exact_page(const std::vector<const CompactList*>& lists, const SearchQuery& query,
                                         RankSpan span) const
{
    // The matches are the union of the lists (a share has one type): the page is the places
    // [first, last) of the union in ascending order, reversed when descending.
    std::uint64_t total = 0;
    for (const CompactList* list : lists)
        total += list->count;
    std::uint64_t end = std::min<std::uint64_t>(total, query.start + query.limit);
    if (query.start >= end)
        return {};
    std::uint64_t first = query.descending ? total - end : query.start;
    std::uint64_t last = query.descending ? total - query.start : end;

    // The smallest rank with more than `first` matches at or below it is the page's first share.
    auto matches_up_to = [&lists](Rank rank) {
        std::uint64_t count = 0;
        for (const CompactList* list : lists)
            count += count_up_to(*list, rank);
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
    std::vector<ListCursor> cursors;
    for (const CompactList* list : lists) {
        cursors.emplace_back(*list, false);
        cursors.back().seek(low);
    }

    std::vector<Rank> page;
    page.reserve(last - first);
    while (page.size() < last - first) {
        std::size_t next = cursors.size();
        for (std::size_t k = 0; k < cursors.size(); ++k)
            if (!cursors[k].done() && (next == cursors.size() || cursors[k].value() < cursors[next].value()))
                next = k;
        page.push_back(cursors[next].value());
        cursors[next].next();
    }
    if (query.descending)
        std::reverse(page.begin(), page.end());
    // The page is found in one step whatever the span: what falls outside it is cut after.
    std::erase_if(page, [span](Rank rank) { return !span.holds(rank); });
    return page;
}

std::vector<Rank> ShareIndex::walked_page(const std::vector<std::vector<const CompactList*>>& lists_by_type,
                                          std::string_view key, const SearchQuery& query, RankSpan span,
                                          Clock::time_point deadline) const
{
    DeadlineWatch watch(deadline);
    auto holds_key = [this, key](Rank rank) { return folded_name(rank).find(key) != std::string_view::npos; };
    std::vector<MatchWalk> walks;
    std::vector<std::optional<Rank>> heads;
    for (const auto& lists : lists_by_type) {
        walks.emplace_back(lists, query.descending, holds_key, [span](Rank rank) { return span.holds(rank); });
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
