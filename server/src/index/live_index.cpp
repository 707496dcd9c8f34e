#include "index/live_index.h"

#include "index/index_merge.h"
#include "index/share_index_builder.h"

#include <algorithm>
#include <unordered_map>

namespace cumulo::server {

namespace {

using Segment = LiveIndex::Segment;

constexpr std::size_t segments_per_merge = 4;

// A batch's changes: the shares it puts and every identity it touched.
struct Changes {
    std::vector<Share> puts;  // the last put of each identity, in the order they were put
    IdentitySet touched;
};

IdentityKey identity_at(const IndexParts& parts, Rank rank)
{
    const ShareNumbers& numbers = parts.numbers[rank];
    if (numbers.shareid != 0)
        return {numbers.shareid, numbers.uk, {}};
    const ShareLengths& lengths = parts.lengths[rank];
    return {0, 0, std::string(parts.texts.substr(numbers.texts_start + lengths.name_bytes, lengths.code_bytes))};
}

ShareIndex index_of(const std::vector<Share>& puts)
{
    ShareIndexBuilder builder;
    builder.reserve(puts.size());
    for (const Share& share : puts)
        builder.add(share);
    return ShareIndex(builder.finish());
}

// For each of the first `count` sources, which of its shares `hidden(source, rank)` says a later
// source hides: what a merge of them leaves out.
template <typename Hidden>
std::vector<std::vector<bool>> hidden_shares(const std::vector<const IndexParts*>& sources, std::size_t count,
                                             Hidden hidden)
{
    std::vector<std::vector<bool>> dropped(sources.size());
    for (std::size_t source = 0; source < count; ++source) {
        dropped[source].resize(sources[source]->numbers.size());
        for (Rank rank = 0; rank < sources[source]->numbers.size(); ++rank)
            dropped[source][rank] = hidden(source, rank);
    }
    return dropped;
}

// The segment of `batch` laid over the segments it takes in (`absorbed`, oldest first; `touched`
// is what they and the batch touched): their indexes are merged with the batch's, less the
// shares a later one of them touched.
std::shared_ptr<const Segment> make_segment(Changes batch, const std::vector<std::shared_ptr<const Segment>>& absorbed,
                                            IdentitySet touched)
{
    ShareIndex batch_index = index_of(batch.puts);
    IdentityFilter filter = touched_filter(touched);
    if (absorbed.empty())
        return std::make_shared<const Segment>(Segment{std::move(touched), std::move(batch_index), std::move(filter)});
    std::vector<const IndexParts*> sources;
    for (const auto& segment : absorbed)
        sources.push_back(&segment->index.parts());
    sources.push_back(&batch_index.parts());
    std::vector<std::vector<bool>> dropped = hidden_shares(sources, absorbed.size(), [&](std::size_t source, Rank rank) {
        IdentityKey key = identity_at(*sources[source], rank);
        bool hidden = batch.touched.contains(key);
        for (std::size_t later = source + 1; later < absorbed.size() && !hidden; ++later)
            hidden = absorbed[later]->touched.contains(key);
        return hidden;
    });
    return std::make_shared<const Segment>(
        Segment{std::move(touched), ShareIndex(merge_index_parts(sources, dropped)), std::move(filter)});
}

}  // namespace

IdentityKey identity_key(const Share& share)
{
    // A code names a share alone; a numeric id only with its owner.
    if (share.shareid != 0)
        return {share.shareid, share.uk, {}};
    return {0, 0, share.code};
}

std::size_t IdentityKeyHash::operator()(const IdentityKey& key) const
{
    if (key.shareid == 0)
        return std::hash<std::string>()(key.code);
    // Both numbers spread over the word; a multiplier with no small factors mixes the owner's.
    return std::hash<std::uint64_t>()(key.shareid ^ (key.uk * 0x9E3779B97F4A7C15ull));
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
    // merged into a segment about log(overlay / batch) / log(segments_per_merge) times.
    // A segment far smaller than the batch goes into it as well. The sizes that decide are
    // those of the identities touched, the batch's growing by what it takes in.
    auto& segments = next->segments_;
    std::vector<std::shared_ptr<const Segment>> absorbed;  // newest first
    IdentitySet touched_so_far = batch.touched;
    auto absorb = [&] {
        touched_so_far.insert(segments.back()->touched.begin(), segments.back()->touched.end());
        absorbed.push_back(std::move(segments.back()));
        segments.pop_back();
    };
    for (;;) {
        std::size_t size = touched_so_far.size();
        std::size_t run = 0;
        while (run < segments_per_merge - 1 && run < segments.size()
               && segments[segments.size() - 1 - run]->touched.size() <= size)
            ++run;
        if (run == segments_per_merge - 1) {
            for (; run > 0; --run)
                absorb();
        } else if (!segments.empty() && segments.back()->touched.size() * segments_per_merge <= size) {
            absorb();
        } else {
            break;
        }
    }
    std::reverse(absorbed.begin(), absorbed.end());
    segments.push_back(make_segment(std::move(batch), absorbed, std::move(touched_so_far)));
    return next;
}

std::shared_ptr<const ShareIndex> LiveIndex::merged() const
{
    if (segments_.empty())
        return base_;
    std::vector<const IndexParts*> sources{&base_->parts()};
    for (const auto& segment : segments_)
        sources.push_back(&segment->index.parts());
    std::vector<std::vector<bool>> dropped = hidden_shares(
        sources, sources.size(), [this](std::size_t source, Rank rank) { return hidden_after(source, rank); });
    return std::make_shared<const ShareIndex>(merge_index_parts(sources, dropped));
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
    IdentityKey key = identity_at(source_index(source).parts(), rank);
    std::size_t hash = IdentityKeyHash()(key);
    for (std::size_t later = source; later < segments_.size(); ++later) {
        const Segment& segment = *segments_[later];
        // The filter passes every identity the segment touched and a few it did not: the set decides.
        if (segment.touched_filter.may_contain(hash) && segment.touched.contains(key))
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
            std::uint64_t size = source_index(source).parts().numbers[matches[source].back()].size;
            if (!last_size || (query.descending ? size > *last_size : size < *last_size))
                last_size = size;
        }
    }
    std::vector<std::size_t> taken(sources, 0);
    auto size_of_next = [&](std::size_t source) {
        return source_index(source).parts().numbers[matches[source][taken[source]]].size;
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
