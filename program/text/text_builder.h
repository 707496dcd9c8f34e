// An output text that grows by doubling, so that building a text byte by
// byte costs time linear in its length.
#pragma once
#include <stdint.h>

namespace text {

class TextBuilder {
public:
    TextBuilder() = default;
    TextBuilder(const TextBuilder&) = delete;
    TextBuilder& operator=(const TextBuilder&) = delete;
    ~TextBuilder();

    void append(const char* bytes, uint32_t count);
    void append_text(const char* text);  // up to its NUL; null appends nothing
    void append_byte(char byte);

    uint32_t length() const { return length_; }

    // The text built so far as a fresh block of exactly length + 1 bytes;
    // the builder is empty afterwards.
    char* take();

private:
    void reserve(uint64_t needed);

    char* data_ = nullptr;
    uint32_t length_ = 0;
    uint32_t capacity_ = 0;
};

}  // namespace text
