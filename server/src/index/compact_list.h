// A rank list kept small: ranks in ascending order, cut into blocks of block_entries. Each block
// holds its first rank as a variable-length number (7 bits a byte, low bits first) and then the
// gaps to the ranks after it, so a list of near ranks costs a byte or two a rank instead of four.
// Lists of more than one block end with a skip table (the first rank and the byte offset of every
// block, 4 bytes each, little-endian) so that a seek jumps to its block without decoding the ones
// before it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace cumulo::server {

using Rank = std::uint32_t;  // a share's place in size order

inline constexpr std::uint32_t block_entries = 32;

// A coded list as the index holds it: its bytes (in memory or in a mapped snapshot) and count.
struct CompactList {
    const std::uint8_t* data = nullptr;
    std::uint32_t count = 0;
    std::uint32_t bytes = 0;

    bool empty() const { return count == 0; }
    std::uint32_t block_count() const { return (count + block_entries - 1) / block_entries; }
    std::uint32_t entries_in_block(std::uint32_t block) const
    {
        return block + 1 < block_count() ? block_entries : count - block * block_entries;
    }
    Rank block_first(std::uint32_t block) const
    {
        if (block_count() > 1)
            return read_u32(skip_entry(block));
        std::size_t place = 0;
        return number_at(place);
    }
    // Decodes the block's ranks into `out` (room for block_entries); returns how many.
    std::uint32_t decode_block(std::uint32_t block, Rank* out) const;
    // Where the block's numbers start in `data`, and the number at `place` (moved past it): for
    // reading a block only as far as a walk needs.
    std::size_t block_start(std::uint32_t block) const
    {
        return block_count() > 1 ? read_u32(skip_entry(block) + 4) : 0;
    }
    // Lists are checked (compact_list_problem) before they are searched.
    Rank number_at(std::size_t& place) const
    {
        std::uint32_t value = 0;
        for (unsigned shift = 0;; shift += 7) {
            std::uint8_t byte = data[place++];
            value |= static_cast<std::uint32_t>(byte & 0x7f) << shift;
            if (byte < 0x80)
                return value;
        }
    }
    // The skip table's entry for a block: [first rank][byte offset], 4 bytes each, little-endian.
    const std::uint8_t* skip_entry(std::uint32_t block) const
    {
        return data + bytes - std::size_t{block_count()} * skip_entry_bytes + std::size_t{block} * skip_entry_bytes;
    }
    static std::uint32_t read_u32(const std::uint8_t* at)
    {
        return std::uint32_t{at[0]} | std::uint32_t{at[1]} << 8 | std::uint32_t{at[2]} << 16 | std::uint32_t{at[3]} << 24;
    }
    static constexpr std::size_t skip_entry_bytes = 8;
    // The block holding the last rank at or below `rank`, or block_count() when every rank is above it.
    std::uint32_t last_block_at_or_below(Rank rank) const;
};

// Appends ranks in ascending order and yields the coded bytes.
class CompactListWriter {
public:
    // Ranks must rise strictly.
    void append(Rank rank);
    std::uint32_t count() const { return count_; }
    // The finished bytes (the writer is spent afterwards).
    std::vector<std::uint8_t> finish();

private:
    std::vector<std::uint8_t> bytes_;
    std::vector<std::uint32_t> skips_;  // first rank and byte offset of each block
    std::uint32_t count_ = 0;
    Rank last_ = 0;
};

// Appends the coded bytes of `ranks` (strictly rising) to `out`, as CompactListWriter would
// make them: for writers that have the whole list at once and keep many lists in one buffer.
void append_compact_list(const std::vector<Rank>& ranks, std::vector<std::uint8_t>& out);

// Why the bytes are not a well-formed list of `count` strictly rising ranks below `rank_limit`,
// or an empty text. Reads nothing outside the list's bytes, whatever they hold.
std::string compact_list_problem(const CompactList& list, std::uint64_t rank_limit);

}  // namespace cumulo::server
