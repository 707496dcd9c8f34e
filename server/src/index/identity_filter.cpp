#include "index/identity_filter.h"

#include <bit>

namespace cumulo::server {

namespace {

constexpr std::size_t bits_per_hash = 16;

}  // namespace

IdentityFilter::IdentityFilter(std::span<const std::size_t> hashes)
{
    if (hashes.empty())
        return;
    std::size_t words = std::bit_ceil((hashes.size() * bits_per_hash + 63) / 64);
    words_.assign(words, 0);
    word_mask_ = words - 1;
    for (std::size_t hash : hashes) {
        std::uint64_t mixed = mix(hash);
        words_[word_of(mixed)] |= bits_of(mixed);
    }
}

}  // namespace cumulo::server
