// One mapping below 2 GiB holding the service table, the image copy and
// "var": image code reaches all three through sign-extended 32-bit operands.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace cu::ostal {

class LowArena {
public:
    // Reserves `size` bytes (rounded up to pages), readable and writable.
    // False with *error set when no such mapping can be had.
    bool reserve(std::size_t size, std::string* error);
    std::uint8_t* base() const { return base_; }
    std::size_t size() const { return size_; }

    // Rounds up to whole pages.
    static std::size_t page_round(std::size_t n);
    // Sets the protection of the pages covering [begin, begin + length).
    bool protect(const void* begin, std::size_t length, int prot, std::string* error) const;

private:
    std::uint8_t* base_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace cu::ostal
