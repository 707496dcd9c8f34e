#include "low_arena.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace cu::ostal {
namespace {
constexpr std::uintptr_t kLowLimit = 0x80000000u;

std::size_t page_size() { return static_cast<std::size_t>(sysconf(_SC_PAGESIZE)); }
}  // namespace

std::size_t LowArena::page_round(std::size_t n)
{
    const std::size_t page = page_size();
    return (n + page - 1) / page * page;
}

bool LowArena::reserve(std::size_t size, std::string* error)
{
    size_ = page_round(size);
    void* p = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
    if (p == MAP_FAILED) {
        *error = std::string("no memory below 2 GiB for the image: ") + std::strerror(errno);
        return false;
    }
    base_ = static_cast<std::uint8_t*>(p);
    if (reinterpret_cast<std::uintptr_t>(base_) + size_ > kLowLimit) {
        munmap(p, size_);
        base_ = nullptr;
        *error = "the memory given for the image does not lie below 2 GiB";
        return false;
    }
    return true;
}

bool LowArena::protect(const void* begin, std::size_t length, int prot, std::string* error) const
{
    const std::size_t page = page_size();
    const auto first = reinterpret_cast<std::uintptr_t>(begin) / page * page;
    const auto end = page_round(reinterpret_cast<std::uintptr_t>(begin) + length);
    if (mprotect(reinterpret_cast<void*>(first), end - first, prot) != 0) {
        *error = std::string("cannot protect the loaded image: ") + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace cu::ostal
