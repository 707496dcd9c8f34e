#include "blocks.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "errors.h"
#include "worker.h"

namespace cu {
namespace {
std::atomic<std::uintptr_t> image_begin{0};
std::atomic<std::uintptr_t> image_end{0};
}  // namespace

void set_image_range(const void* begin, std::size_t size)
{
    image_begin = reinterpret_cast<std::uintptr_t>(begin);
    image_end = reinterpret_cast<std::uintptr_t>(begin) + size;
}

bool in_image(const void* p)
{
    auto a = reinterpret_cast<std::uintptr_t>(p);
    return a >= image_begin.load() && a < image_end.load();
}

void* allocate_block(std::size_t size)
{
    void* p = worker_tracked_allocate(size);
    if (!p) fatal("out of memory: a block of " + std::to_string(size) + " bytes could not be allocated");
    return p;
}

void free_block(void* block)
{
    if (!block || in_image(block)) return;
    worker_tracked_free(block);
}

char* new_text(std::string_view text)
{
    auto* p = static_cast<char*>(allocate_block(text.size() + 1));
    if (!text.empty()) std::memcpy(p, text.data(), text.size());
    p[text.size()] = '\0';
    return p;
}

std::uint8_t* new_bytes(const void* data, std::uint32_t length)
{
    auto* p = static_cast<std::uint8_t*>(allocate_block(std::size_t{8} + length));
    const std::uint32_t head[2] = {1, length};
    std::memcpy(p, head, sizeof head);
    if (length) std::memcpy(p + 8, data, length);
    return p;
}

}  // namespace cu
