#include "text/random_hex.h"

#include <cerrno>
#include <stdexcept>
#include <sys/random.h>
#include <vector>

namespace cumulo::server {

std::string random_hex(std::size_t bytes)
{
    std::vector<unsigned char> buffer(bytes);
    for (std::size_t filled = 0; filled < bytes;) {
        ssize_t got = getrandom(buffer.data() + filled, bytes - filled, 0);
        if (got < 0 && errno != EINTR)
            throw std::runtime_error("the system gave no random bytes");
        if (got > 0)
            filled += static_cast<std::size_t>(got);
    }
    constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes * 2);
    for (unsigned char byte : buffer) {
        text += digits[byte >> 4];
        text += digits[byte & 0xF];
    }
    return text;
}

}  // namespace cumulo::server
