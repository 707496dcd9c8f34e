// Turns the merged object of the image code into the "const" and "code"
// section data, the internal relocations, the "@reloc1" groups and the size
// of "var": the part of the image that comes from compiled code.
//
// "const" is laid out as: the empty text (offset 0), the empty-array
// constant, each distinct text once, the fixed-size constants (doubles...)
// each once, the remaining read-only data, padding that puts the code on a
// 16-byte boundary of the image, and the DLL library and function names.
// Read-only data keeps its alignment relative to the image base, so the
// loader must place the image on a 16-byte boundary and keep const and code
// at their distance (PC-relative references between them are resolved here).
#pragma once
#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "elf_object.h"

namespace cu::imagebuild {

struct LinkRequest {
    std::string entry;                     // the start routine's symbol
    std::vector<std::string> dll_texts;    // stored once each at the end of const, in this order
    std::uint32_t dll_count = 0;           // valid __dll_<n> numbers are below this
    std::uint32_t library_count = 0;       // valid __lib_<n> numbers are below this
    std::uint64_t const_data_offset = 0;   // image-relative start of the const data
    // Image bytes between the end of the const data and the start of the
    // code data when the code has no relocation entries.
    std::uint64_t bytes_between_const_and_code = 0;
};

struct MapEntry {
    std::string section;  // "code", "var" or "const"
    std::uint32_t offset = 0;
    std::uint32_t size = 0;
    std::string name;
};

struct LinkedProgram {
    std::vector<std::uint8_t> const_data;
    std::vector<std::uint8_t> code_data;
    std::uint32_t var_size = 0;
    std::vector<std::uint32_t> relocations;
    std::array<std::vector<std::uint32_t>, 4> groups;
    std::uint32_t start = 0;                          // code-relative
    std::map<std::string, std::uint32_t> dll_text_offsets;  // const-relative
    std::map<std::string, std::uint32_t> routines;    // code-relative offset of every routine
    std::vector<std::uint32_t> unit_numbers;          // unit ids the code names (for checks against the layout)
    std::vector<MapEntry> map;
};

std::optional<LinkedProgram> link_program(const ElfObject& object, const LinkRequest& request, std::string* error);

}  // namespace cu::imagebuild
