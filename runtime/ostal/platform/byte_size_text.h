// A byte count as the short size text the desktop window shows: "532 bytes", then KB, MB,
// GB, TB, PB, EB with three significant digits, truncated, never rounded ("1.30 KB",
// "22.9 KB", "2.28 MB"); a count of 1000 units or more moves to the next unit ("0.97 MB").
// Kept free of everything else so that the share-search service writes sizes the same way.
#pragma once

#include <cstdint>
#include <string>

namespace cu::platform {

std::string byte_size_text(std::uint64_t bytes);

}  // namespace cu::platform
