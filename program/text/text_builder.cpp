#include "text_builder.h"

#include "program.h"

namespace text {

TextBuilder::~TextBuilder() { prog::release(data_); }

void TextBuilder::reserve(uint64_t needed)
{
    if (needed <= capacity_) return;
    uint64_t grown = capacity_ < 64 ? 64 : uint64_t{capacity_} * 2;
    if (grown < needed) grown = needed;
    // Texts never reach 4 GiB; a request beyond that is left to the runtime's
    // allocator, which ends the program with a message.
    if (grown > 0xFFFFFFFFu) grown = 0xFFFFFFFFu;
    auto* bigger = static_cast<char*>(__svc_AllocateBlock(static_cast<uint32_t>(grown)));
    if (length_) memcpy(bigger, data_, length_);
    prog::release(data_);
    data_ = bigger;
    capacity_ = static_cast<uint32_t>(grown);
}

void TextBuilder::append(const char* bytes, uint32_t count)
{
    if (!count) return;
    reserve(uint64_t{length_} + count + 1);
    memcpy(data_ + length_, bytes, count);
    length_ += count;
}

void TextBuilder::append_text(const char* text)
{
    if (text) append(text, TextLength(text));
}

void TextBuilder::append_byte(char byte)
{
    if (length_ + 1 >= capacity_) reserve(uint64_t{length_} + 2);
    data_[length_++] = byte;
}

char* TextBuilder::take()
{
    auto* result = static_cast<char*>(__svc_AllocateBlock(length_ + 1));
    if (length_) memcpy(result, data_, length_);
    result[length_] = '\0';
    prog::release(data_);
    data_ = nullptr;
    length_ = 0;
    capacity_ = 0;
    return result;
}

}  // namespace text
