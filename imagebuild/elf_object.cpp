#include "elf_object.h"

#include <elf.h>

#include <cstring>

namespace cu::imagebuild {
namespace {

class ElfReader {
public:
    explicit ElfReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    std::optional<ElfObject> read(std::string* error)
    {
        if (read_header() && read_sections() && read_symbols() && read_relocations()) return std::move(object_);
        if (error) *error = error_;
        return std::nullopt;
    }

private:
    bool fail(const std::string& reason)
    {
        error_ = reason;
        return false;
    }

    bool within(std::uint64_t offset, std::uint64_t length) const
    {
        return offset <= bytes_.size() && length <= bytes_.size() - offset;
    }

    template <typename T>
    T load(std::uint64_t offset) const
    {
        T value;
        std::memcpy(&value, bytes_.data() + offset, sizeof value);
        return value;
    }

    // A NUL-terminated name inside a string table section.
    bool name_at(const Elf64_Shdr& table, std::uint64_t offset, std::string& name)
    {
        if (offset >= table.sh_size) return fail("name offset " + std::to_string(offset) + " outside its string table");
        const char* start = reinterpret_cast<const char*>(bytes_.data() + table.sh_offset + offset);
        const void* nul = std::memchr(start, 0, table.sh_size - offset);
        if (!nul) return fail("name at " + std::to_string(offset) + " is not NUL-terminated");
        name.assign(start, static_cast<const char*>(nul) - start);
        return true;
    }

    bool read_header()
    {
        if (!within(0, sizeof(Elf64_Ehdr))) return fail("too short for an ELF header");
        header_ = load<Elf64_Ehdr>(0);
        if (std::memcmp(header_.e_ident, ELFMAG, SELFMAG) != 0) return fail("not an ELF file");
        if (header_.e_ident[EI_CLASS] != ELFCLASS64 || header_.e_ident[EI_DATA] != ELFDATA2LSB)
            return fail("not a little-endian ELF64 file");
        if (header_.e_type != ET_REL) return fail("not a relocatable object");
        if (header_.e_machine != EM_X86_64) return fail("not an x86-64 object");
        if (header_.e_shentsize != sizeof(Elf64_Shdr)) return fail("unexpected section header size");
        if (!within(header_.e_shoff, std::uint64_t{header_.e_shnum} * sizeof(Elf64_Shdr)))
            return fail("section headers run past the end");
        if (header_.e_shnum == 0 || header_.e_shstrndx >= header_.e_shnum) return fail("bad section name table index");
        return true;
    }

    bool read_sections()
    {
        headers_.resize(header_.e_shnum);
        for (std::size_t i = 0; i < headers_.size(); ++i) {
            headers_[i] = load<Elf64_Shdr>(header_.e_shoff + i * sizeof(Elf64_Shdr));
            const Elf64_Shdr& h = headers_[i];
            if (h.sh_type != SHT_NOBITS && h.sh_type != SHT_NULL && !within(h.sh_offset, h.sh_size))
                return fail("section " + std::to_string(i) + " runs past the end");
        }
        const Elf64_Shdr& names = headers_[header_.e_shstrndx];
        if (names.sh_type != SHT_STRTAB) return fail("section name table is not a string table");
        object_.sections.resize(headers_.size());
        object_.relocations.resize(headers_.size());
        for (std::size_t i = 0; i < headers_.size(); ++i) {
            const Elf64_Shdr& h = headers_[i];
            ElfSection& s = object_.sections[i];
            if (!name_at(names, h.sh_name, s.name)) return false;
            s.type = h.sh_type;
            s.flags = h.sh_flags;
            s.size = h.sh_size;
            s.align = h.sh_addralign ? h.sh_addralign : 1;
            if (s.align & (s.align - 1)) return fail("section " + s.name + " has an alignment that is not a power of two");
            s.entsize = h.sh_entsize;
            if (h.sh_type != SHT_NOBITS && h.sh_type != SHT_NULL) s.data = bytes_.subspan(h.sh_offset, h.sh_size);
        }
        return true;
    }

    bool read_symbols()
    {
        for (std::size_t i = 0; i < headers_.size(); ++i) {
            if (headers_[i].sh_type != SHT_SYMTAB) continue;
            if (symtab_) return fail("more than one symbol table");
            symtab_ = i;
        }
        if (!symtab_) return fail("no symbol table");
        const Elf64_Shdr& table = headers_[*symtab_];
        if (table.sh_entsize != sizeof(Elf64_Sym) || table.sh_size % sizeof(Elf64_Sym) != 0)
            return fail("symbol table entries have an unexpected size");
        if (table.sh_link >= headers_.size() || headers_[table.sh_link].sh_type != SHT_STRTAB)
            return fail("symbol table has no string table");
        const Elf64_Shdr& strings = headers_[table.sh_link];
        const std::size_t count = table.sh_size / sizeof(Elf64_Sym);
        object_.symbols.resize(count);
        for (std::size_t i = 0; i < count; ++i) {
            const Elf64_Sym raw = load<Elf64_Sym>(table.sh_offset + i * sizeof(Elf64_Sym));
            ElfSymbol& s = object_.symbols[i];
            s.value = raw.st_value;
            s.size = raw.st_size;
            s.type = ELF64_ST_TYPE(raw.st_info);
            s.binding = ELF64_ST_BIND(raw.st_info);
            s.section = raw.st_shndx;
            if (s.section == SHN_XINDEX) return fail("extended section indices are not supported");
            if (s.section != SHN_UNDEF && s.section < SHN_LORESERVE && s.section >= headers_.size())
                return fail("symbol " + std::to_string(i) + " names section " + std::to_string(s.section) + ", which does not exist");
            if (!name_at(strings, raw.st_name, s.name)) return false;
            if (s.type == STT_SECTION && s.section < headers_.size()) s.name = object_.sections[s.section].name;
        }
        return true;
    }

    bool read_relocations()
    {
        for (std::size_t i = 0; i < headers_.size(); ++i) {
            const Elf64_Shdr& h = headers_[i];
            if (h.sh_type == SHT_REL) return fail("section " + object_.sections[i].name + ": REL relocations are not supported");
            if (h.sh_type != SHT_RELA) continue;
            if (h.sh_link != *symtab_) return fail("section " + object_.sections[i].name + " uses another symbol table");
            if (h.sh_info == 0 || h.sh_info >= headers_.size())
                return fail("section " + object_.sections[i].name + " relocates no section");
            if (h.sh_entsize != sizeof(Elf64_Rela) || h.sh_size % sizeof(Elf64_Rela) != 0)
                return fail("section " + object_.sections[i].name + " has entries of an unexpected size");
            const ElfSection& target = object_.sections[h.sh_info];
            auto& list = object_.relocations[h.sh_info];
            for (std::uint64_t at = 0; at < h.sh_size; at += sizeof(Elf64_Rela)) {
                const Elf64_Rela raw = load<Elf64_Rela>(h.sh_offset + at);
                ElfRelocation r{raw.r_offset, static_cast<std::uint32_t>(ELF64_R_TYPE(raw.r_info)),
                                static_cast<std::uint32_t>(ELF64_R_SYM(raw.r_info)), raw.r_addend};
                if (r.symbol >= object_.symbols.size())
                    return fail("relocation in " + target.name + " names symbol " + std::to_string(r.symbol) + ", which does not exist");
                // Every relocation here patches at most 8 bytes.
                if (r.offset > target.size || target.size - r.offset < 4)
                    return fail("relocation at " + std::to_string(r.offset) + " lies outside " + target.name);
                list.push_back(r);
            }
        }
        return true;
    }

    std::span<const std::uint8_t> bytes_;
    Elf64_Ehdr header_{};
    std::vector<Elf64_Shdr> headers_;
    std::optional<std::size_t> symtab_;
    ElfObject object_;
    std::string error_;
};

}  // namespace

std::optional<ElfObject> read_elf_object(std::span<const std::uint8_t> bytes, std::string* error)
{
    return ElfReader(bytes).read(error);
}

}  // namespace cu::imagebuild
