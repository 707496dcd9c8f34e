// A compact bit filter of a set of identity hashes, made once with the set: a hash it was made
// with is always reported as maybe present, and most others are reported absent from one word of
// memory, so a search asks the set itself only for the few that may be in it. About 16 to 32 bits
// for each hash, three of them set in one 64-bit word; a filter made of no hashes (or not made)
// reports every hash as maybe present.
#pragma once

#include <cstdint>
#include <cstddef>
#include <span>
#include <vector>

namespace cumulo::server {

class IdentityFilter {
public:
    IdentityFilter() = default;
    explicit IdentityFilter(std::span<const std::size_t> hashes);

    bool may_contain(std::size_t hash) const
    {
        if (words_.empty())
            return true;
        std::uint64_t mixed = mix(hash);
        std::uint64_t bits = bits_of(mixed);
        return (words_[word_of(mixed)] & bits) == bits;
    }

private:
    // The hashes come from std::hash, which leaves numbers as they are: spread them first.
    static std::uint64_t mix(std::uint64_t hash)
    {
        hash ^= hash >> 33;
        hash *= 0xFF51AFD7ED558CCDull;
        hash ^= hash >> 33;
        hash *= 0xC4CEB9FE1A85EC53ull;
        return hash ^ (hash >> 33);
    }
    // Three bits picked by the low 18 bits; the word by the ones above them.
    static std::uint64_t bits_of(std::uint64_t mixed)
    {
        return (1ull << (mixed & 63)) | (1ull << ((mixed >> 6) & 63)) | (1ull << ((mixed >> 12) & 63));
    }
    std::size_t word_of(std::uint64_t mixed) const { return (mixed >> 18) & word_mask_; }

    std::vector<std::uint64_t> words_;  // a power of two of them
    std::uint64_t word_mask_ = 0;       // words - 1
};

}  // namespace cumulo::server
