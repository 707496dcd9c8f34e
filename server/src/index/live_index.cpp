#include "index/live_index.h"

#include "index/share_index_builder.h"

#include <algorithm>
#include <unordered_map>

namespace cumulo::server {

namespace {

using Segment = LiveIndex::Segment;

constexpr std::size_t segments_per_merge = 4;

// A segment's changes before its index is built: merges happen on these, so that a batch that
// carries over several segments builds one index, not one for each merge.
struct Changes {
    std::vector<Share> puts;  // the last put of each identity, in the order they were put
    IdentitySet touched;
};

std::shared_ptr<const Segment> make_segment(Changes changes)
{
    // Built from the shares where they are: the segment keeps them for its merges.
    ShareIndexBuilder builder;
    builder.reserve(changes.puts.size());
    for (const Share& share : changes.puts)
        builder.add(share);
    ShareIndex index(builder.finish());
    IdentityFilter filter = touched_filter(changes.touched);
    return std::make_shared<const Segment>(
        Segment{std::move(changes.puts), std::move(changes.touched), std::move(index), std::move(filter)});
}

// Puts `older` before `newer`: what newer touched hides older's puts. Newer's own puts and
// identities are moved, and only the older (the smaller) segment's are copied.
void put_before(const Segment& older, Changes& newer)
{
    std::vector<Share> puts;
    puts.reserve(older.puts.size() + newer.puts.size());
    for (const Share& share : older.puts)
        if (!newer.touched.contains(identity_key(share)))
            puts.push_back(share);
    puts.insert(puts.end(), std::make_move_iterator(newer.puts.begin()), std::make_move_iterator(newer.puts.end()));
    newer.puts = std::move(puts);
    newer.touched.insert(older.touched.begin(), older.touched.end());
}

}  // namespace

IdentityKey identity_key(const Share& share)
{
    return identity_key(share.shareid, share.uk, share.code);
}

IdentityKey identity_key(std::uint64_t shareid, std::uint64_t uk, std::string_view code)
{
    // A code names a share alone; a numeric id only with its owner.
    if (shareid != 0)
        return {shareid, uk, {}};
    return {0, 0, std::string(code)};
}

std::size_t identity_hash(std::uint64_t shareid, std::uint64_t uk, std::string_view code)
{
    if (shareid == 0)
        return std::hash<std::string_view>()(code);
    // Both numbers spread over the word; a multiplier with no small factors mixes the owner's.
    return std::hash<std::uint64_t>()(shareid ^ (uk * 0x9E3779B97F4A7C15ull));
}

std::size_t IdentityKeyHash::operator()(const IdentityKey& key) const
{
    return identity_hash(key.shareid, key.uk, key.code);
}

IdentityFilter touched_filter(const IdentitySet& touched)
{
    std::vector<std::size_t> hashes;
    hashes.reserve(touched.size());
    for (const IdentityKey& key : touched)
        hashes.push_back(IdentityKeyHash()(key));
    return IdentityFilter(hashes);
}

LiveIndex::LiveIndex(std::shared_ptr<const ShareIndex> base, std::uint64_t position)
    : base_(std::move(base)), base_position_(position), position_(position)
{
}

std::shared_ptr<const LiveIndex> LiveIndex::with(const std::vector<Catalogue::Change>& changes,
                                                 std::uint64_t position) const
{
    auto next = std::make_shared<LiveIndex>(*this);
    next->position_ = std::max(position_, position);
    // A clearing of the catalogue leaves nothing of what came before it.
    auto after_clear = std::find_if(changes.rbegin(), changes.rend(), [](const Catalogue::Change& change) {
        return change.kind == Catalogue::Change::Kind::clear;
    });
    auto first = changes.begin();
    if (after_clear != changes.rend()) {
        next->base_ = std::make_shared<const ShareIndex>(std::vector<Share>());
        next->base_position_ = after_clear->number;
        next->segments_.clear();
        first = after_clear.base();
    }
    if (first == changes.end())
        return next;

    // The last change of each identity decides what the batch leaves of it.
    std::unordered_map<IdentityKey, const Catalogue::Change*, IdentityKeyHash> last;
    for (auto change = first; change != changes.end(); ++change)
        last[identity_key(change->share)] = &*change;
    Changes batch;
    for (auto change = first; change != changes.end(); ++change) {
        IdentityKey key = identity_key(change->share);
        if (change->kind == Catalogue::Change::Kind::put && last[key] == &*change)
            batch.puts.push_back(change->share);
        batch.touched.insert(std::move(key));
    }
    // Segments merge in runs of segments_per_merge, as in a counter of that base: a share is
    // built into a segment about log(overlay / batch) / log(segments_per_merge) times.
    // A segment far smaller than the batch goes into it as well.
    auto& segments = next->segments_;
    for (;;) {
        std::size_t size = batch.touched.size();
        std::size_t run = 0;
        while (run < segments_per_merge - 1 && run < segments.size()
               && segments[segments.size() - 1 - run]->touched.size() <= size)
            ++run;
        if (run == segments_per_merge - 1) {
            for (; run > 0; --run) {
                put_before(*segments.back(), batch);
                segments.pop_back();
            }
        } else if (!segments.empty() && segments.back()->touched.size() * segments_per_merge <= size) {
            put_before(*segments.back(), batch);
            segments.pop_back();
        } else {
            break;
        }
    }
    next->segments_.push_back(make_segment(std::move(batch)));
    return next;
}

std::size_t LiveIndex::overlay_size() const
{
    std::size_t size = 0;
    for (const auto& segment : segments_)
        size += segment->touched.size();
    return size;
}

const ShareIndex& LiveIndex::source_index(std::size_t source) const
{
    return source == 0 ? *base_ : segments_[source - 1]->index;
}

bool LiveIndex::hidden_after(std::size_t source, ShareIndex::Rank rank) const
{
    if (source == segments_.size())
        return false;
    const ShareIndex& index = source_index(source);
    const ShareNumbers& numbers = index.numbers_at(rank);
    std::string_view code = numbers.shareid == 0 ? index.code_at(rank) : std::string_view();
    std::size_t hash = identity_hash(numbers.shareid, numbers.uk, code);
    for (std::size_t later = source; later < segments_.size(); ++later) {
        const Segment& segment = *segments_[later];
        // The filter passes every identity the segment touched and a few it did not: the set decides.
        if (segment.touched_filter.may_contain(hash)
            && segment.touched.contains(identity_key(numbers.shareid, numbers.uk, code)))
            return true;
    }
    return false;
}

std::vector<ShareIndex::Rank> LiveIndex::visible_matches(std::size_t source, const SearchQuery& query,
                                                         std::uint64_t wanted, std::optional<std::uint64_t> last_size,
                                                         std::chrono::steady_clock::time_point deadline) const
{
    const ShareIndex& index = source_index(source);
    SearchQuery first_ones = query;
    first_ones.start = 0;
    // A few hidden shares are usual among the first ones: ask for a little more at once, and
    // for more again while hidden ones keep the page short.
    std::uint64_t asked = wanted + 16;
    for (;;) {
        first_ones.limit = static_cast<unsigned>(std::min<std::uint64_t>(asked, index.share_count()));
        std::vector<ShareIndex::Rank> matches = index.search_ranks(first_ones, deadline, last_size);
        bool all_matches = matches.size() < first_ones.limit || first_ones.limit == index.share_count();
        std::size_t found = matches.size();
        std::erase_if(matches, [&](ShareIndex::Rank rank) { return hidden_after(source, rank); });
        if (matches.size() >= wanted || all_matches) {
            if (matches.size() > wanted)
                matches.resize(wanted);
            return matches;
        }
        asked = asked * 2 + (found - matches.size());
    }
}

std::vector<Share> LiveIndex::search(const SearchQuery& query, std::chrono::steady_clock::time_point deadline) const
{
    if (segments_.empty())
        return base_->search(query, deadline);
    std::uint64_t wanted = query.start + query.limit;
    if (query.limit == 0)
        return {};
    // Every source's first visible matches, each list in the page's order, merged as ranks; only
    // the page's are made shares. Among equal sizes a later source's shares went in later: after
    // the earlier ones ascending, before them descending, as a rebuilt base would order them.
    // Once a source has `wanted` matches, no match of any source past the last of them can make
    // the page: the later sources' walks stop at its size.
    std::size_t sources = segments_.size() + 1;
    std::vector<std::vector<ShareIndex::Rank>> matches(sources);
    std::optional<std::uint64_t> last_size;
    for (std::size_t source = 0; source < sources; ++source) {
        matches[source] = visible_matches(source, query, wanted, last_size, deadline);
        if (matches[source].size() == wanted) {
            std::uint64_t size = source_index(source).numbers_at(matches[source].back()).size;
            if (!last_size || (query.descending ? size > *last_size : size < *last_size))
                last_size = size;
        }
    }
    std::vector<std::size_t> taken(sources, 0);
    auto size_of_next = [&](std::size_t source) {
        return source_index(source).numbers_at(matches[source][taken[source]]).size;
    };
    auto before = [&, descending = query.descending](std::size_t a, std::size_t b) {
        std::uint64_t size_a = size_of_next(a), size_b = size_of_next(b);
        if (size_a != size_b)
            return descending ? size_a > size_b : size_a < size_b;
        return descending ? a > b : a < b;
    };
    std::vector<Share> page;
    page.reserve(query.limit);
    for (std::uint64_t at = 0; at < wanted; ++at) {
        std::size_t next = sources;
        for (std::size_t source = 0; source < sources; ++source)
            if (taken[source] < matches[source].size() && (next == sources || before(source, next)))
                next = source;
        if (next == sources)
            break;
        if (at >= query.start)
            page.push_back(source_index(next).share_at(matches[next][taken[next]]));
        ++taken[next];
    }
    return page;
}

void PublishedIndex::publish(std::shared_ptr<const LiveIndex> version)
{
    if (std::shared_ptr<const LiveIndex> replaced = current_.exchange(std::move(version)))
        replaced_.push_back(std::move(replaced));
}

std::vector<std::shared_ptr<const LiveIndex>> PublishedIndex::take_unused()
{
    // Once replaced, a version gains no holder: the last count of one is the list's own.
    auto held = [](const std::shared_ptr<const LiveIndex>& version) { return version.use_count() != 1; };
    auto first_unused = std::partition(replaced_.begin(), replaced_.end(), held);
    std::vector<std::shared_ptr<const LiveIndex>> unused(std::make_move_iterator(first_unused),
                                                         std::make_move_iterator(replaced_.end()));
    replaced_.erase(first_unused, replaced_.end());
    return unused;
}

}  // namespace cumulo::server
