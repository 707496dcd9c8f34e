// A fast 64-bit checksum of large byte ranges (four 64-bit lanes of multiply and rotate, several
// GB/s), for finding damage in a snapshot: not a defence against a forged one, which the
// snapshot's structural checks are for.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace cumulo::server {

class Checksum {
public:
    void add(const void* data, std::size_t bytes);
    std::uint64_t value() const;

private:
    void stripe(const std::uint8_t* bytes);

    std::array<std::uint64_t, 4> lanes_ = {0x60ea27eeadc0b5d6ull, 0xc2b2ae3d27d4eb4full, 0, 0x61c8864e7a143579ull};
    std::array<std::uint8_t, 32> pending_{};
    std::size_t pending_bytes_ = 0;
    std::uint64_t total_bytes_ = 0;
};

std::uint64_t checksum_of(const void* data, std::size_t bytes);

}  // namespace cumulo::server
