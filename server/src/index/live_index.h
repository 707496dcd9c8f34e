// The index searched while the catalogue changes: an immutable base index built from the
// catalogue at one position of its change log, and an overlay of the changes since, in
// segments. A segment is a small index of the shares put by its changes and the identities
// its changes touched (put or removed); a share that a source (the base or a segment) holds
// is seen only while no later segment touched its identity.
//
// A LiveIndex never changes once made: the writer makes the next version from the last with
// one more batch of changes and publishes it whole (PublishedIndex), so a search sees every
// change of a batch or none. A new segment takes in the three before it once all three are no
// larger, as in a counter of base four (and any one before it a quarter its size or less): a
// search consults at most about 3 log4(overlay / batch) segments, and each share is built into a
// segment about log4(overlay / batch) times (a binary counter built each twice as often).
#pragma once

#include "catalogue/catalogue.h"
#include "index/flat_set.h"
#include "index/identity_filter.h"
#include "index/search_query.h"
#include "index/share_index.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace cumulo::server {

// The identity the catalogue knows a share by: its shareid and uk, or its code alone (uk 0).
// Numbers, not a text: the overlay hashes and compares one for every share it hides or shows.
struct IdentityKey {
    std::uint64_t shareid = 0;
    std::uint64_t uk = 0;
    std::string code;

    bool operator==(const IdentityKey&) const = default;
};

struct IdentityKeyHash {
    std::size_t operator()(const IdentityKey& key) const;
};

IdentityKey identity_key(const Share& share);

using IdentitySet = FlatSet<IdentityKey, IdentityKeyHash>;

// The filter a segment asks before its touched set: made from the finished set.
IdentityFilter touched_filter(const IdentitySet& touched);

class LiveIndex {
public:
    // `base` holds the catalogue's shares as they were at `position`.
    LiveIndex(std::shared_ptr<const ShareIndex> base, std::uint64_t position);

    // The next version: this one with `changes` (numbered after position(), in order) applied,
    // at `position` (the last of them, or further when later changes left some out).
    std::shared_ptr<const LiveIndex> with(const std::vector<Catalogue::Change>& changes,
                                          std::uint64_t position) const;

    // The page the query asks for, as a base index rebuilt at position() would answer it (shares
    // of equal size may come in another order). Throws SearchDeadlineExceeded
    // (search_deadline.h) when the deadline passes first.
    std::vector<Share> search(const SearchQuery& query, std::chrono::steady_clock::time_point deadline) const;

    // This version as one index, for a new base at position(): the base and the segments merged
    // from their arrays (index_merge.h), less the shares later segments hid. Far cheaper than
    // building it from the catalogue's shares.
    std::shared_ptr<const ShareIndex> merged() const;

    std::uint64_t position() const { return position_; }
    std::uint64_t base_position() const { return base_position_; }
    // Identities touched since the base was built: what a new base would take off the overlay.
    std::size_t overlay_size() const;
    std::size_t base_share_count() const { return base_->share_count(); }

    struct Segment {
        IdentitySet touched;
        ShareIndex index;
        IdentityFilter touched_filter;  // of `touched`: most shares it did not touch cost one word's test
    };

private:
    // Source 0 is the base, source i > 0 the segment i - 1.
    const ShareIndex& source_index(std::size_t source) const;
    std::vector<ShareIndex::Rank> visible_matches(std::size_t source, const SearchQuery& query, std::uint64_t wanted,
                                                  std::optional<std::uint64_t> last_size,
                                                  std::chrono::steady_clock::time_point deadline) const;
    bool hidden_after(std::size_t source, ShareIndex::Rank rank) const;

    std::shared_ptr<const ShareIndex> base_;
    std::uint64_t base_position_ = 0;
    std::uint64_t position_ = 0;
    std::vector<std::shared_ptr<const Segment>> segments_;  // oldest first
};

// How many changes a version may lay over its base before a new base is due: `least`, or half
// the base's shares, whichever is more. Fewer make new bases too often (each merges every
// share: at a quarter, new bases took twice the time); more make the overlay, which every
// search consults, deeper.
inline std::uint64_t most_laid_over(std::size_t base_share_count, std::uint64_t least)
{
    return std::max<std::uint64_t>(least, base_share_count / 2);
}

// The version searches use now. Any thread may read it while one writer publishes.
class PublishedIndex {
public:
    std::shared_ptr<const LiveIndex> current() const { return current_.load(); }
    // Makes `version` current. The version it replaces is kept until take_unused hands it back,
    // so that a search never frees an index (freeing a replaced base takes milliseconds). One
    // thread at a time publishes and takes.
    void publish(std::shared_ptr<const LiveIndex> version);
    // The replaced versions no search holds any more, for the caller to free where it costs
    // no one a wait.
    std::vector<std::shared_ptr<const LiveIndex>> take_unused();

private:
    std::atomic<std::shared_ptr<const LiveIndex>> current_;
    std::vector<std::shared_ptr<const LiveIndex>> replaced_;
};

}  // namespace cumulo::server
