#include "index/index_merge.h"

#include "index/built_storage.h"

#include <algorithm>
#include <array>
#include <limits>
#include <stdexcept>

namespace cumulo::server {

namespace {

constexpr Rank no_rank = std::numeric_limits<Rank>::max();

bool is_dropped(const std::vector<std::vector<bool>>& dropped, std::size_t source, Rank rank)
{
    return source < dropped.size() && !dropped[source].empty() && dropped[source][rank];
}

// Lays the kept shares out in their merged order (by size; equal sizes by source, then by rank)
// into `storage`, and returns each source's new rank of each of its ranks (no_rank: dropped).
std::vector<std::vector<Rank>> lay_out_shares(const std::vector<const IndexParts*>& sources,
                                              const std::vector<std::vector<bool>>& dropped, BuiltStorage& storage)
{
    std::size_t total = 0, text_bytes = 0;
    for (const IndexParts* source : sources) {
        total += source->numbers.size();
        text_bytes += source->texts.size();
    }
    storage.numbers.reserve(total);
    storage.lengths.reserve(total);
    storage.texts.reserve(text_bytes);

    std::vector<std::vector<Rank>> new_ranks(sources.size());
    std::vector<Rank> next(sources.size(), 0);  // each source's first rank not yet laid out
    for (std::size_t source = 0; source < sources.size(); ++source)
        new_ranks[source].assign(sources[source]->numbers.size(), no_rank);
    for (;;) {
        // The smallest size at the sources' heads; the oldest source first among equals.
        std::size_t from = sources.size();
        for (std::size_t source = 0; source < sources.size(); ++source) {
            const IndexParts& parts = *sources[source];
            while (next[source] < parts.numbers.size() && is_dropped(dropped, source, next[source]))
                ++next[source];
            if (next[source] < parts.numbers.size()
                && (from == sources.size() || parts.numbers[next[source]].size < sources[from]->numbers[next[from]].size))
                from = source;
        }
        if (from == sources.size())
            return new_ranks;
        if (storage.numbers.size() >= no_rank)
            throw std::length_error("the merged index holds more shares than the search index can number");
        const IndexParts& parts = *sources[from];
        Rank rank = next[from]++;
        ShareNumbers numbers = parts.numbers[rank];
        const ShareLengths& lengths = parts.lengths[rank];
        std::size_t text_length = std::size_t{lengths.name_bytes} + lengths.code_bytes + lengths.folded_bytes;
        storage.texts.append(parts.texts.substr(numbers.texts_start, text_length));
        numbers.texts_start = storage.texts.size() - text_length;
        new_ranks[from][rank] = static_cast<Rank>(storage.numbers.size());
        storage.numbers.push_back(numbers);
        storage.lengths.push_back(lengths);
    }
}

// Appends the list's ranks, renumbered, leaving out the dropped ones; they stay ascending.
void append_renumbered(const CompactList& list, const std::vector<Rank>& new_rank, std::vector<Rank>& out)
{
    Rank block[block_entries];
    for (std::uint32_t b = 0; b < list.block_count(); ++b) {
        std::uint32_t entries = list.decode_block(b, block);
        for (std::uint32_t i = 0; i < entries; ++i)
            if (Rank renumbered = new_rank[block[i]]; renumbered != no_rank)
                out.push_back(renumbered);
    }
}

// Merges two rising lists with no rank in common into `out`. The sources' ranks interleave at
// random, which a branch on the smaller one predicts badly: the loop picks without one.
void merge_rising(const std::vector<Rank>& a, const std::vector<Rank>& b, std::vector<Rank>& out)
{
    out.resize(a.size() + b.size());
    const Rank* next_a = a.data();
    const Rank* next_b = b.data();
    const Rank* const end_a = next_a + a.size();
    const Rank* const end_b = next_b + b.size();
    Rank* to = out.data();
    while (next_a != end_a && next_b != end_b) {
        Rank from_a = *next_a, from_b = *next_b;
        bool b_first = from_b < from_a;
        *to++ = b_first ? from_b : from_a;
        next_a += !b_first;
        next_b += b_first;
    }
    to = std::copy(next_a, end_a, to);
    std::copy(next_b, end_b, to);
}

}  // namespace

IndexParts merge_index_parts(const std::vector<const IndexParts*>& sources,
                             const std::vector<std::vector<bool>>& dropped)
{
    auto storage = std::make_shared<BuiltStorage>();
    std::vector<std::vector<Rank>> new_ranks = lay_out_shares(sources, dropped, *storage);

    // Every list goes into one buffer; where each starts is known once the buffer stops moving.
    std::vector<std::uint8_t>& bytes = storage->list_bytes.emplace_back();
    // About the sources' own bytes, so that the buffer is seldom copied as it grows.
    std::size_t source_bytes = 0;
    for (const IndexParts* source : sources)
        for (const ListsByType& by_type : source->lists)
            for (const CompactList& list : by_type)
                source_bytes += list.bytes;
    bytes.reserve(source_bytes + source_bytes / 8);
    struct Placed {
        std::size_t start, count, bytes;
    };
    std::vector<std::array<Placed, share_type_count>> placed;
    std::vector<std::size_t> next_gram(sources.size(), 0);
    std::vector<Rank> merged, one_source, both;
    std::vector<const ListsByType*> holders;  // the gram's lists in the sources that hold it
    std::vector<std::size_t> holder_sources;
    for (;;) {
        // The smallest gram at the sources' heads, and the sources that hold it.
        std::uint64_t gram = std::numeric_limits<std::uint64_t>::max();
        for (std::size_t source = 0; source < sources.size(); ++source)
            if (next_gram[source] < sources[source]->grams.size())
                gram = std::min(gram, sources[source]->grams[next_gram[source]]);
        holders.clear();
        holder_sources.clear();
        for (std::size_t source = 0; source < sources.size(); ++source) {
            const IndexParts& parts = *sources[source];
            if (next_gram[source] < parts.grams.size() && parts.grams[next_gram[source]] == gram) {
                holders.push_back(&parts.lists[next_gram[source]++]);
                holder_sources.push_back(source);
            }
        }
        if (holders.empty())
            break;
        std::array<Placed, share_type_count> gram_lists{};
        std::size_t gram_start = bytes.size();
        bool listed = false;
        for (std::size_t type = 0; type < share_type_count; ++type) {
            // Each source's renumbered list rises; merging them keeps the whole rising.
            merged.clear();
            for (std::size_t holder = 0; holder < holders.size(); ++holder) {
                const CompactList& list = (*holders[holder])[type];
                if (list.empty())
                    continue;
                if (merged.empty()) {
                    append_renumbered(list, new_ranks[holder_sources[holder]], merged);
                    continue;
                }
                one_source.clear();
                append_renumbered(list, new_ranks[holder_sources[holder]], one_source);
                merge_rising(merged, one_source, both);
                merged.swap(both);
            }
            if (merged.empty())
                continue;
            std::size_t start = bytes.size();
            append_compact_list(merged, bytes);
            if (bytes.size() - start > std::numeric_limits<std::uint32_t>::max())
                throw std::length_error("a rank list is longer than the search index can hold");
            gram_lists[type] = {start, merged.size(), bytes.size() - start};
            listed = true;
        }
        // A gram whose every share was dropped is left out, as a builder would.
        if (!listed) {
            bytes.resize(gram_start);
            continue;
        }
        storage->grams.push_back(gram);
        placed.push_back(gram_lists);
    }
    // Fitting the buffer copies it, which at a new base of millions of shares is the peak of
    // the merge: only a buffer with much left unused (many shares dropped) is worth it.
    if (bytes.capacity() - bytes.size() > bytes.size() / 4)
        bytes.shrink_to_fit();
    std::vector<ListsByType> lists(placed.size());
    for (std::size_t place = 0; place < placed.size(); ++place)
        for (std::size_t type = 0; type < share_type_count; ++type) {
            const Placed& list = placed[place][type];
            lists[place][type] = {list.count == 0 ? nullptr : bytes.data() + list.start,
                                  static_cast<std::uint32_t>(list.count), static_cast<std::uint32_t>(list.bytes)};
        }
    return parts_over(std::move(storage), std::move(lists));
}

}  // namespace cumulo::server
