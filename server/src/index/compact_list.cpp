#include "index/compact_list.h"

#include <cstring>
#include <limits>

namespace cumulo::server {

namespace {

void put_number(std::vector<std::uint8_t>& out, std::uint32_t value)
{
    while (value >= 0x80) {
        out.push_back(static_cast<std::uint8_t>(value | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<std::uint8_t>(value));
}

// Reads one number at `place` without passing `end`; false when the bytes end first or the
// number does not fit 32 bits.
bool get_checked_number(const std::uint8_t* data, std::size_t end, std::size_t& place, std::uint32_t& value)
{
    std::uint32_t result = 0;
    for (unsigned shift = 0; shift < 35; shift += 7) {
        if (place >= end)
            return false;
        std::uint8_t byte = data[place++];
        // The fifth byte holds the top 4 bits of 32.
        if (shift == 28 && byte > 0x0f)
            return false;
        result |= static_cast<std::uint32_t>(byte & 0x7f) << shift;
        if (byte < 0x80) {
            value = result;
            return true;
        }
    }
    return false;
}

void put_u32(std::vector<std::uint8_t>& out, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

}  // namespace

std::uint32_t CompactList::decode_block(std::uint32_t block, Rank* out) const
{
    std::size_t place = block_start(block);
    std::uint32_t entries = entries_in_block(block);
    Rank rank = number_at(place);
    out[0] = rank;
    for (std::uint32_t i = 1; i < entries; ++i) {
        rank += number_at(place);
        out[i] = rank;
    }
    return entries;
}

std::uint32_t CompactList::last_block_at_or_below(Rank rank) const
{
    // The first block whose first rank is above `rank`, less one.
    std::uint32_t low = 0, high = block_count();
    while (low < high) {
        std::uint32_t middle = low + (high - low) / 2;
        if (block_first(middle) <= rank)
            low = middle + 1;
        else
            high = middle;
    }
    return low == 0 ? block_count() : low - 1;
}

void CompactListWriter::append(Rank rank)
{
    if (count_ % block_entries == 0) {
        skips_.push_back(rank);
        skips_.push_back(static_cast<std::uint32_t>(bytes_.size()));
        put_number(bytes_, rank);
    } else {
        put_number(bytes_, rank - last_);
    }
    last_ = rank;
    ++count_;
}

std::vector<std::uint8_t> CompactListWriter::finish()
{
    if (count_ > block_entries)
        for (std::uint32_t value : skips_)
            put_u32(bytes_, value);
    bytes_.shrink_to_fit();
    skips_ = {};
    return std::move(bytes_);
}

void append_compact_list(const std::vector<Rank>& ranks, std::vector<std::uint8_t>& out)
{
    // Written through a pointer into room for the longest coding, then cut to what was written.
    std::size_t start = out.size();
    std::size_t blocks = (ranks.size() + block_entries - 1) / block_entries;
    std::size_t skip_bytes = blocks > 1 ? blocks * CompactList::skip_entry_bytes : 0;
    out.resize(start + ranks.size() * 5 + skip_bytes);
    std::uint8_t* const first = out.data() + start;
    std::uint8_t* at = first;
    auto put = [&at](std::uint32_t value) {
        while (value >= 0x80) {
            *at++ = static_cast<std::uint8_t>(value | 0x80);
            value >>= 7;
        }
        *at++ = static_cast<std::uint8_t>(value);
    };
    // The skip table goes after the blocks; its entries are kept at the room's end meanwhile.
    std::uint8_t* skips = first + ranks.size() * 5;
    auto put_u32_at = [](std::uint8_t* to, std::uint32_t value) {
        for (int i = 0; i < 4; ++i)
            to[i] = static_cast<std::uint8_t>(value >> (8 * i));
    };
    for (std::size_t place = 0; place < ranks.size(); ++place) {
        if (place % block_entries == 0) {
            if (skip_bytes != 0) {
                std::uint8_t* entry = skips + place / block_entries * CompactList::skip_entry_bytes;
                put_u32_at(entry, ranks[place]);
                put_u32_at(entry + 4, static_cast<std::uint32_t>(at - first));
            }
            put(ranks[place]);
        } else {
            put(ranks[place] - ranks[place - 1]);
        }
    }
    std::memmove(at, skips, skip_bytes);
    out.resize(static_cast<std::size_t>(at - out.data()) + skip_bytes);
}

std::string compact_list_problem(const CompactList& list, std::uint64_t rank_limit)
{
    if (list.count == 0)
        return list.bytes == 0 ? "" : "an empty list holds bytes";
    if (list.data == nullptr)
        return "a list has no bytes";
    std::uint32_t blocks = list.block_count();
    std::size_t coded_end = list.bytes;
    if (blocks > 1) {
        std::size_t table = std::size_t{blocks} * CompactList::skip_entry_bytes;
        if (table > list.bytes)
            return "a list is shorter than its skip table";
        coded_end = list.bytes - table;
    }
    // Checked a block at a time (a snapshot's lists are read whole before a start answers): a
    // gap of zero anywhere in a block, or its last rank past the limit, is found at its end.
    std::size_t place = 0;
    std::uint64_t previous = 0;
    for (std::uint32_t block = 0; block < blocks; ++block) {
        if (blocks > 1 && CompactList::read_u32(list.skip_entry(block) + 4) != place)
            return "a list's skip table points outside its blocks";
        std::uint32_t first = 0;
        if (!get_checked_number(list.data, coded_end, place, first))
            return "a list's numbers are cut short or too large";
        if (block > 0 && first <= previous)
            return "a list's ranks do not rise";
        if (blocks > 1 && CompactList::read_u32(list.skip_entry(block)) != first)
            return "a list's skip table disagrees with its blocks";
        std::uint64_t rank = first;
        bool zero_gap = false;
        std::uint32_t entries = list.entries_in_block(block);
        for (std::uint32_t i = 1; i < entries; ++i) {
            std::uint32_t gap = 0;
            // Most gaps of a long list take one byte: those skip the general reader.
            if (place < coded_end && list.data[place] < 0x80)
                gap = list.data[place++];
            else if (!get_checked_number(list.data, coded_end, place, gap))
                return "a list's numbers are cut short or too large";
            zero_gap |= gap == 0;
            rank += gap;
        }
        if (zero_gap)
            return "a list's ranks do not rise";
        if (rank >= rank_limit)
            return "a list holds a rank past the last share";
        previous = rank;
    }
    if (place != coded_end)
        return "a list holds bytes past its last rank";
    return "";
}

}  // namespace cumulo::server
