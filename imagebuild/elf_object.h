// A merged ELF64 x86-64 relocatable object, read as a hostile file: every
// header, table and name is bounds-checked before use.
#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace cu::imagebuild {

struct ElfSection {
    std::string name;
    std::uint32_t type = 0;
    std::uint64_t flags = 0;
    std::uint64_t size = 0;
    std::uint64_t align = 1;
    std::uint64_t entsize = 0;
    std::span<const std::uint8_t> data;  // empty for NOBITS
};

struct ElfSymbol {
    std::string name;  // for section symbols: the section's name
    std::uint64_t value = 0;
    std::uint64_t size = 0;
    std::uint8_t type = 0;     // STT_*
    std::uint8_t binding = 0;  // STB_*
    std::uint16_t section = 0; // SHN_UNDEF, SHN_ABS, or an index into sections
};

struct ElfRelocation {
    std::uint64_t offset = 0;  // within the target section
    std::uint32_t type = 0;    // R_X86_64_*
    std::uint32_t symbol = 0;  // index into symbols
    std::int64_t addend = 0;
};

struct ElfObject {
    std::vector<ElfSection> sections;                  // by section index
    std::vector<ElfSymbol> symbols;                    // by symbol index
    std::vector<std::vector<ElfRelocation>> relocations;  // by target section index
};

// Parses `bytes` (which must outlive the result). On failure returns nothing
// and sets *error to the reason.
std::optional<ElfObject> read_elf_object(std::span<const std::uint8_t> bytes, std::string* error);

}  // namespace cu::imagebuild
