// Blocks: the one allocator behind AllocateBlock, FreeBlock and every command
// result. A block made on a worker thread is tracked by that worker, so a
// stopped worker's blocks can be reclaimed.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace cu {

// Zero-filled, never null: exhaustion ends the program with a message.
void* allocate_block(std::size_t size);
// Ignores null and any address inside the loaded image (literals).
void free_block(void* block);

// The loaded image's address range; free_block leaves it untouched.
void set_image_range(const void* begin, std::size_t size);
bool in_image(const void* p);

// A NUL-terminated text block holding `text`.
char* new_text(std::string_view text);
// A byte-array block: u32 1, u32 length, the bytes.
std::uint8_t* new_bytes(const void* data, std::uint32_t length);

}  // namespace cu
