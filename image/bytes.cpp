#include "bytes.h"

#include <cstring>

namespace cu::image {

std::uint32_t load_u32(const std::uint8_t* p)
{
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

void store_u32(std::uint8_t* p, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

void ByteReader::fail(const std::string& what, const std::string& reason)
{
    if (ok()) error_ = what + ": " + reason;
}

bool ByteReader::take(std::size_t count, const char* what)
{
    if (!ok()) return false;
    if (count > remaining()) {
        fail(what, "runs past the end (" + std::to_string(count) + " bytes wanted at offset " +
                       std::to_string(position_) + ", " + std::to_string(remaining()) + " left)");
        return false;
    }
    return true;
}

std::uint16_t ByteReader::u16(const char* what)
{
    if (!take(2, what)) return 0;
    std::uint16_t v = static_cast<std::uint16_t>(bytes_[position_] | bytes_[position_ + 1] << 8);
    position_ += 2;
    return v;
}

std::uint32_t ByteReader::u32(const char* what)
{
    if (!take(4, what)) return 0;
    std::uint32_t v = load_u32(bytes_.data() + position_);
    position_ += 4;
    return v;
}

std::string ByteReader::text(const char* what)
{
    if (!ok()) return {};
    const std::uint8_t* start = bytes_.data() + position_;
    const void* nul = std::memchr(start, 0, remaining());
    if (!nul) {
        fail(what, "text has no terminating NUL");
        return {};
    }
    std::size_t length = static_cast<const std::uint8_t*>(nul) - start;
    position_ += length + 1;
    return std::string(reinterpret_cast<const char*>(start), length);
}

std::string ByteReader::counted_text(const char* what)
{
    std::uint32_t length = u32(what);
    std::span<const std::uint8_t> b = bytes(length, what);
    return std::string(b.begin(), b.end());
}

std::span<const std::uint8_t> ByteReader::bytes(std::size_t count, const char* what)
{
    if (!take(count, what)) return {};
    std::span<const std::uint8_t> b = bytes_.subspan(position_, count);
    position_ += count;
    return b;
}

void ByteReader::skip_zeros(std::size_t count, const char* what)
{
    for (std::uint8_t b : bytes(count, what)) {
        if (b != 0) {
            fail(what, "reserved bytes are not zero");
            return;
        }
    }
}

void ByteWriter::u16(std::uint16_t v)
{
    out_.push_back(static_cast<std::uint8_t>(v));
    out_.push_back(static_cast<std::uint8_t>(v >> 8));
}

void ByteWriter::u32(std::uint32_t v)
{
    out_.resize(out_.size() + 4);
    store_u32(out_.data() + out_.size() - 4, v);
}

void ByteWriter::text(const std::string& s)
{
    out_.insert(out_.end(), s.begin(), s.end());
    out_.push_back(0);
}

void ByteWriter::counted_text(const std::string& s)
{
    u32(static_cast<std::uint32_t>(s.size()));
    out_.insert(out_.end(), s.begin(), s.end());
}

void ByteWriter::patch_u32(std::size_t at, std::uint32_t v) { store_u32(out_.data() + at, v); }

}  // namespace cu::image
