// Bounded little-endian readers and writers shared by the image and form
// parsers. A reader never reads past its span: every read checks the bytes
// left first and, on a shortfall, records what was being read and fails.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace cu::image {

class ByteReader {
public:
    explicit ByteReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }
    std::size_t position() const { return position_; }
    std::size_t remaining() const { return bytes_.size() - position_; }
    bool at_end() const { return position_ == bytes_.size(); }

    // Each read names its field; after the first failure every read fails
    // and returns zero or empty, so a parser can check ok() once per record.
    std::uint16_t u16(const char* what);
    std::uint32_t u32(const char* what);
    std::int32_t i32(const char* what) { return static_cast<std::int32_t>(u32(what)); }
    std::string text(const char* what);           // NUL-terminated
    std::string counted_text(const char* what);   // u32 length, bytes, no NUL
    std::span<const std::uint8_t> bytes(std::size_t count, const char* what);
    void skip_zeros(std::size_t count, const char* what);  // reserved bytes that must be zero

    // Fails with "<what>: <reason>" unless already failed.
    void fail(const std::string& what, const std::string& reason);

private:
    bool take(std::size_t count, const char* what);

    std::span<const std::uint8_t> bytes_;
    std::size_t position_ = 0;
    std::string error_;
};

class ByteWriter {
public:
    void u16(std::uint16_t v);
    void u32(std::uint32_t v);
    void i32(std::int32_t v) { u32(static_cast<std::uint32_t>(v)); }
    void text(const std::string& s);          // bytes then NUL
    void counted_text(const std::string& s);  // u32 length then bytes
    void bytes(std::span<const std::uint8_t> b) { out_.insert(out_.end(), b.begin(), b.end()); }
    void zeros(std::size_t count) { out_.insert(out_.end(), count, 0); }
    // Overwrites a word written earlier (a length known only afterwards).
    void patch_u32(std::size_t at, std::uint32_t v);

    std::size_t size() const { return out_.size(); }
    std::vector<std::uint8_t>& data() { return out_; }

private:
    std::vector<std::uint8_t> out_;
};

std::uint32_t load_u32(const std::uint8_t* p);
void store_u32(std::uint8_t* p, std::uint32_t v);

}  // namespace cu::image
