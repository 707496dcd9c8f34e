#include "index/checksum.h"

#include <algorithm>
#include <cstring>

namespace cumulo::server {

namespace {

constexpr std::uint64_t prime1 = 0x9e3779b185ebca87ull;
constexpr std::uint64_t prime2 = 0xc2b2ae3d27d4eb4full;
constexpr std::uint64_t prime3 = 0x165667b19e3779f9ull;

std::uint64_t rotl(std::uint64_t value, int bits)
{
    return (value << bits) | (value >> (64 - bits));
}

std::uint64_t round(std::uint64_t lane, std::uint64_t word)
{
    return rotl(lane + word * prime2, 31) * prime1;
}

std::uint64_t word_at(const std::uint8_t* bytes)
{
    std::uint64_t word;
    std::memcpy(&word, bytes, sizeof word);
    return word;
}

}  // namespace

void Checksum::stripe(const std::uint8_t* bytes)
{
    for (std::size_t lane = 0; lane < lanes_.size(); ++lane)
        lanes_[lane] = round(lanes_[lane], word_at(bytes + 8 * lane));
}

void Checksum::add(const void* data, std::size_t bytes)
{
    // An empty section may have no storage at all: its null pointer must not reach memcpy.
    if (bytes == 0)
        return;
    const auto* in = static_cast<const std::uint8_t*>(data);
    total_bytes_ += bytes;
    if (pending_bytes_ > 0) {
        std::size_t taken = std::min(bytes, pending_.size() - pending_bytes_);
        std::memcpy(pending_.data() + pending_bytes_, in, taken);
        pending_bytes_ += taken;
        in += taken;
        bytes -= taken;
        if (pending_bytes_ < pending_.size())
            return;
        stripe(pending_.data());
        pending_bytes_ = 0;
    }
    // The lanes in locals for the long run: four independent chains the processor overlaps.
    std::uint64_t lane0 = lanes_[0], lane1 = lanes_[1], lane2 = lanes_[2], lane3 = lanes_[3];
    for (; bytes >= pending_.size(); in += pending_.size(), bytes -= pending_.size()) {
        lane0 = round(lane0, word_at(in));
        lane1 = round(lane1, word_at(in + 8));
        lane2 = round(lane2, word_at(in + 16));
        lane3 = round(lane3, word_at(in + 24));
    }
    lanes_ = {lane0, lane1, lane2, lane3};
    std::memcpy(pending_.data(), in, bytes);
    pending_bytes_ = bytes;
}

std::uint64_t Checksum::value() const
{
    std::uint64_t result = rotl(lanes_[0], 1) + rotl(lanes_[1], 7) + rotl(lanes_[2], 12) + rotl(lanes_[3], 18);
    result ^= total_bytes_ * prime3;
    for (std::size_t i = 0; i < pending_bytes_; ++i)
        result = rotl(result ^ (pending_[i] * prime1), 11) * prime2;
    result ^= result >> 33;
    result *= prime2;
    result ^= result >> 29;
    result *= prime3;
    result ^= result >> 32;
    return result;
}

std::uint64_t checksum_of(const void* data, std::size_t bytes)
{
    Checksum checksum;
    checksum.add(data, bytes);
    return checksum.value();
}

}  // namespace cumulo::server
