// StrFormatByteSizeA: a byte count as a short size text the way Windows writes it
// (byte_size_text.h has the rules). The whole 64-bit count is read, so a size beyond 4 GB
// shows its true value.
#include <algorithm>
#include <cstring>

#include "byte_size_text.h"
#include "platform_calls.h"

namespace cu::platform {

std::uint64_t format_byte_size(const std::uint64_t* args)
{
    auto* buffer = reinterpret_cast<char*>(static_cast<std::uintptr_t>(args[1]));
    const auto capacity = static_cast<std::uint32_t>(args[2]);
    if (!buffer) return 0;
    const std::string text = byte_size_text(args[0]);
    if (capacity > 0) {
        const std::size_t n = std::min<std::size_t>(text.size(), capacity - 1);
        std::memcpy(buffer, text.data(), n);
        buffer[n] = '\0';
    }
    return args[1];
}

}  // namespace cu::platform
