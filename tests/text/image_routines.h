// The text routines inside the real built program image, loaded once with the
// real runtime and looked up by name through the builder's map file, with
// helpers that pass texts and byte arrays the way image code does (by
// reference) and take the fresh results back (freeing them).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace texttest {

using Bytes = std::vector<std::uint8_t>;

// The address of an image routine; fails the test binary when the image does
// not load or the routine is not in the map file.
void* routine_address(const char* name);

template <typename Fn>
Fn* routine(const char* name)
{
    return reinterpret_cast<Fn*>(routine_address(name));
}

// A byte-array block as the runtime lays it out: u32 1, u32 length, bytes.
Bytes array_block(const Bytes& bytes);

// Copies a text result and frees it with the runtime's FreeBlock.
std::string take_text(char* text);
// Copies the bytes of a byte-array result and frees it.
Bytes take_bytes(std::uint8_t* block);

// The routines, with texts and byte arrays passed by reference.
std::string url_encode(const std::string& text, bool keep_plain, bool utf8);
std::string gbk_to_utf8(const std::string& text);
Bytes text_to_utf16(const std::string& text, int code_page);  // code_page < 0: omitted
std::string utf16_to_text(const Bytes& array_data, int code_page);  // code_page < 0: omitted
std::string decode_escaped(const std::string& text);
std::string percent_decode(const std::string& text);
std::int64_t hex_to_number(const std::string& text);
std::string unit_to_gbk(const Bytes& array_data);

}  // namespace texttest
