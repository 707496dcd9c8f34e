#include "program_linker.h"

#include <elf.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <tuple>

#include "cumulo_abi.h"
#include "bytes.h"
#include "image.h"

namespace cu::imagebuild {
namespace {

using image::Group;
using image::RelocationKind;

constexpr std::uint32_t kEmptyArrayOffset = 1;  // right after the empty text
constexpr std::uint8_t kEmptyArray[8] = {1, 0, 0, 0, 0, 0, 0, 0};
constexpr std::uint32_t kStubSize = 8;
constexpr std::uint64_t kCodeAlignment = 16;
constexpr std::uint64_t kMaxAlignment = 4096;

struct ServiceSlot {
    const char* name;
    std::uint32_t slot;
};
constexpr ServiceSlot kServices[] = {
#define CU_SERVICE_ENTRY(name, slot) {#name, slot},
    CU_SERVICES(CU_SERVICE_ENTRY)
#undef CU_SERVICE_ENTRY
};

std::string hex(std::uint64_t v)
{
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "0x%llX", static_cast<unsigned long long>(v));
    return buffer;
}

std::uint64_t align_up(std::uint64_t v, std::uint64_t alignment) { return (v + alignment - 1) / alignment * alignment; }

bool starts_with(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// What an allocated section of the object becomes.
enum class PieceKind { None, Code, Var, Strings, Entries, Rodata, Data };

// One run of bytes of a merge section and where it went in const.
struct MergedItem {
    std::uint64_t old_start = 0;
    std::uint64_t length = 0;  // strings: including the NUL
    std::uint64_t new_start = 0;
};

struct Piece {
    PieceKind kind = PieceKind::None;
    std::uint64_t base = 0;            // code, var and read-only data: offset in its section
    std::vector<MergedItem> items;     // strings and fixed-size entries
};

// Where a relocation points once everything has its place.
enum class Place { Code, Const, Var, Number };
struct Target {
    Place place = Place::Code;
    std::int64_t offset = 0;  // section-relative, addend included; the number for Place::Number
    Group group = Group::Unit;
};

class Linker {
public:
    Linker(const ElfObject& object, const LinkRequest& request) : object_(object), request_(request) {}

    std::optional<LinkedProgram> link(std::string* error)
    {
        if (classify_sections() && check_relocation_targets() && lay_out_code() && lay_out_var() &&
            find_services() && count_relocations() && lay_out_const() && place_stubs() && apply_relocations() &&
            find_entry())
            return std::move(out_);
        if (error) *error = error_;
        return std::nullopt;
    }

private:
    bool fail(const std::string& reason)
    {
        error_ = reason;
        return false;
    }

    // The routine containing a code offset of a section, for messages.
    std::string routine_at(std::size_t section, std::uint64_t offset) const
    {
        for (const ElfSymbol& s : object_.symbols)
            if (s.type == STT_FUNC && s.section == section && offset >= s.value && offset < s.value + s.size)
                return "routine " + s.name;
        return "section " + object_.sections[section].name + " at " + hex(offset);
    }

    bool classify_sections()
    {
        pieces_.resize(object_.sections.size());
        for (std::size_t i = 1; i < object_.sections.size(); ++i) {
            const ElfSection& s = object_.sections[i];
            if (!(s.flags & SHF_ALLOC)) continue;
            Piece& p = pieces_[i];
            if (s.align > kMaxAlignment) return fail("section " + s.name + " asks for an alignment above 4096");
            if (s.flags & SHF_TLS) return fail("thread-local data in section " + s.name + " cannot be stored in the image");
            if (s.flags & SHF_EXECINSTR) {
                if (s.type != SHT_PROGBITS) return fail("executable section " + s.name + " has no bytes");
                p.kind = PieceKind::Code;
            } else if (s.flags & SHF_WRITE) {
                if (s.type == SHT_NOBITS) {
                    p.kind = PieceKind::Var;
                } else if (s.size != 0) {
                    std::string names;
                    for (const ElfSymbol& sym : object_.symbols)
                        if (sym.section == i && sym.type == STT_OBJECT) names += " " + sym.name;
                    return fail("initialised global data in section " + s.name + " (" +
                                (names.empty() ? std::string("unnamed") : names.substr(1)) +
                                "): globals live in \"var\" and start at zero");
                }
            } else if (s.type == SHT_NOBITS) {
                return fail("read-only section " + s.name + " has no bytes");
            } else if ((s.flags & SHF_MERGE) && (s.flags & SHF_STRINGS) && s.entsize == 1) {
                p.kind = PieceKind::Strings;
            } else if ((s.flags & SHF_MERGE) && !(s.flags & SHF_STRINGS) && s.entsize > 0 && s.size % s.entsize == 0) {
                p.kind = PieceKind::Entries;
            } else {
                p.kind = PieceKind::Rodata;
            }
        }
        return true;
    }

    // Only code may hold relocations: const has no relocation table, and a
    // table of addresses there could not be fixed up.
    bool check_relocation_targets()
    {
        for (std::size_t i = 1; i < object_.sections.size(); ++i) {
            if (object_.relocations[i].empty() || !(object_.sections[i].flags & SHF_ALLOC)) continue;
            if (pieces_[i].kind == PieceKind::Code) continue;
            const ElfRelocation& r = object_.relocations[i].front();
            return fail("relocation inside constant data: section " + object_.sections[i].name + " refers to " +
                        object_.symbols[r.symbol].name +
                        " (tables of addresses, jump tables and virtual tables cannot be stored in the image)");
        }
        return true;
    }

    bool lay_out_code()
    {
        std::uint64_t size = 0;
        for (std::size_t i = 0; i < pieces_.size(); ++i) {
            if (pieces_[i].kind != PieceKind::Code) continue;
            const ElfSection& s = object_.sections[i];
            const std::uint64_t at = align_up(size, std::min<std::uint64_t>(s.align, kCodeAlignment));
            out_.code_data.resize(at, 0xCC);  // int3 between routines
            out_.code_data.insert(out_.code_data.end(), s.data.begin(), s.data.end());
            pieces_[i].base = at;
            size = out_.code_data.size();
            if (size > std::numeric_limits<std::uint32_t>::max() / 16) return fail("the code is too large");
        }
        if (out_.code_data.empty()) return fail("the object holds no code");
        for (const ElfSymbol& s : object_.symbols) {
            if (s.type != STT_FUNC || s.section >= pieces_.size() || pieces_[s.section].kind != PieceKind::Code) continue;
            const std::uint32_t offset = static_cast<std::uint32_t>(pieces_[s.section].base + s.value);
            out_.routines[s.name] = offset;
            out_.map.push_back({"code", offset, static_cast<std::uint32_t>(s.size), s.name});
        }
        return true;
    }

    bool lay_out_var()
    {
        std::uint64_t size = 0;
        for (std::size_t i = 0; i < pieces_.size(); ++i) {
            if (pieces_[i].kind != PieceKind::Var) continue;
            const ElfSection& s = object_.sections[i];
            pieces_[i].base = align_up(size, s.align);
            size = pieces_[i].base + s.size;
            if (size > std::numeric_limits<std::int32_t>::max()) return fail("the globals are too large");
        }
        out_.var_size = static_cast<std::uint32_t>(size);
        for (const ElfSymbol& s : object_.symbols)
            if (s.type == STT_OBJECT && s.section < pieces_.size() && pieces_[s.section].kind == PieceKind::Var)
                out_.map.push_back({"var", static_cast<std::uint32_t>(pieces_[s.section].base + s.value),
                                    static_cast<std::uint32_t>(s.size), s.name});
        return true;
    }

    // Every relocation in code, with its section.
    template <typename F>
    bool for_each_code_relocation(F f)
    {
        for (std::size_t i = 0; i < pieces_.size(); ++i)
            if (pieces_[i].kind == PieceKind::Code)
                for (const ElfRelocation& r : object_.relocations[i])
                    if (!f(i, r)) return false;
        return true;
    }

    std::optional<std::size_t> service_index(const std::string& name) const
    {
        if (!starts_with(name, CU_SERVICE_PREFIX)) return std::nullopt;
        const std::string rest = name.substr(std::strlen(CU_SERVICE_PREFIX));
        for (std::size_t i = 0; i < std::size(kServices); ++i)
            if (rest == kServices[i].name) return i;
        return std::nullopt;
    }

    bool find_services()
    {
        return for_each_code_relocation([&](std::size_t, const ElfRelocation& r) {
            const ElfSymbol& s = object_.symbols[r.symbol];
            if (s.section == SHN_UNDEF)
                if (auto i = service_index(s.name)) stub_of_service_[*i] = 0;
            return true;
        });
    }

    static bool is_absolute(std::uint32_t type) { return type == R_X86_64_32 || type == R_X86_64_32S; }
    static bool is_pc_relative(std::uint32_t type) { return type == R_X86_64_PC32 || type == R_X86_64_PLT32; }

    bool count_relocations()
    {
        relocation_count_ = stub_of_service_.size();
        return for_each_code_relocation([&](std::size_t section, const ElfRelocation& r) {
            if (!is_absolute(r.type) && !is_pc_relative(r.type))
                return fail("relocation type " + std::to_string(r.type) + " against " + object_.symbols[r.symbol].name +
                            " in " + routine_at(section, r.offset) +
                            " cannot be stored in the image (only 32-bit absolute and PC-relative operands)");
            if (is_absolute(r.type) && !renumberable(object_.symbols[r.symbol])) ++relocation_count_;
            return true;
        });
    }

    bool renumberable(const ElfSymbol& s) const
    {
        return s.section == SHN_UNDEF && (starts_with(s.name, CU_SYM_UNIT) || starts_with(s.name, CU_SYM_DLL) ||
                                          starts_with(s.name, CU_SYM_LIB) || starts_with(s.name, CU_SYM_LTYPE));
    }

    // Merge sections: split into items, store each distinct one once.
    void add_merged(std::size_t section, std::map<std::string, std::uint64_t>& seen, std::vector<std::uint8_t>& data,
                    std::uint64_t alignment)
    {
        const ElfSection& s = object_.sections[section];
        Piece& p = pieces_[section];
        const bool strings = p.kind == PieceKind::Strings;
        for (std::uint64_t at = 0; at < s.size;) {
            std::uint64_t length = s.entsize;
            if (strings) {
                const void* nul = std::memchr(s.data.data() + at, 0, s.size - at);
                length = nul ? static_cast<const std::uint8_t*>(nul) - (s.data.data() + at) + 1 : s.size - at;
            }
            const std::string bytes(reinterpret_cast<const char*>(s.data.data() + at), length);
            auto [it, fresh] = seen.emplace(bytes, 0);
            if (strings && length == 1 && bytes[0] == 0) {
                it->second = 0;  // the empty text
            } else if (fresh || (request_.const_data_offset + it->second) % alignment != 0) {
                // The compiler may load an item of an aligned section with
                // aligned vector moves: a copy stored less aligned is not reused.
                const std::uint64_t image_at = align_up(request_.const_data_offset + data.size(), alignment);
                data.resize(image_at - request_.const_data_offset, 0);
                it->second = data.size();
                data.insert(data.end(), bytes.begin(), bytes.end());
            }
            p.items.push_back({at, length, it->second});
            at += length;
        }
    }

    bool lay_out_const()
    {
        std::vector<std::uint8_t>& data = out_.const_data;
        data.push_back(0);
        data.insert(data.end(), std::begin(kEmptyArray), std::end(kEmptyArray));
        std::map<std::string, std::uint64_t> texts, entries;
        texts.emplace(std::string(1, '\0'), 0);
        for (std::size_t i = 0; i < pieces_.size(); ++i)
            if (pieces_[i].kind == PieceKind::Strings) add_merged(i, texts, data, object_.sections[i].align);
        for (std::size_t i = 0; i < pieces_.size(); ++i)
            if (pieces_[i].kind == PieceKind::Entries) add_merged(i, entries, data, object_.sections[i].align);
        for (std::size_t i = 0; i < pieces_.size(); ++i) {
            if (pieces_[i].kind != PieceKind::Rodata) continue;
            const ElfSection& s = object_.sections[i];
            const std::uint64_t image_at = align_up(request_.const_data_offset + data.size(), s.align);
            data.resize(image_at - request_.const_data_offset, 0);
            pieces_[i].base = data.size();
            data.insert(data.end(), s.data.begin(), s.data.end());
        }
        for (const ElfSymbol& s : object_.symbols)
            if (s.type == STT_OBJECT && s.section < pieces_.size() && pieces_[s.section].kind == PieceKind::Rodata)
                out_.map.push_back({"const", static_cast<std::uint32_t>(pieces_[s.section].base + s.value),
                                    static_cast<std::uint32_t>(s.size), s.name});

        std::vector<std::uint8_t> names;
        for (const std::string& t : request_.dll_texts) {
            if (out_.dll_text_offsets.count(t)) continue;
            out_.dll_text_offsets[t] = static_cast<std::uint32_t>(names.size());
            names.insert(names.end(), t.begin(), t.end());
            names.push_back(0);
        }
        // Pad so that the code starts on a 16-byte boundary of the image: the
        // compiler aligned routines and loops relative to it.
        const std::uint64_t code_at = request_.const_data_offset + data.size() + names.size() +
                                      request_.bytes_between_const_and_code + 4 * relocation_count_;
        data.resize(data.size() + (align_up(code_at, kCodeAlignment) - code_at), 0);
        for (auto& [text, offset] : out_.dll_text_offsets) offset += static_cast<std::uint32_t>(data.size());
        data.insert(data.end(), names.begin(), names.end());
        if (data.size() > std::numeric_limits<std::int32_t>::max()) return fail("the constants are too large");
        code_data_offset_ = request_.const_data_offset + data.size() + request_.bytes_between_const_and_code +
                            4 * relocation_count_;
        return true;
    }

    // One 8-byte stub per service used, after the code: jmp *[slot] with a
    // kind-0 relocation on the slot operand.
    bool place_stubs()
    {
        out_.code_data.resize(align_up(out_.code_data.size(), kStubSize), 0xCC);
        for (auto& [index, offset] : stub_of_service_) {
            offset = static_cast<std::uint32_t>(out_.code_data.size());
            const std::uint32_t slot = kServices[index].slot;
            const std::uint8_t stub[kStubSize] = {0xFF, 0x24, 0x25, static_cast<std::uint8_t>(slot), 0, 0, 0, 0xCC};
            out_.code_data.insert(out_.code_data.end(), std::begin(stub), std::end(stub));
            stub_relocations_.push_back(image::relocation_word(offset + 3, RelocationKind::Service));
            out_.map.push_back({"code", offset, kStubSize, std::string(CU_SERVICE_PREFIX) + kServices[index].name});
        }
        return true;
    }

    // A location in a merge section, mapped to const.
    bool map_merged(std::size_t section, std::int64_t location, std::int64_t probe_shift, std::int64_t& mapped)
    {
        const std::vector<MergedItem>& items = pieces_[section].items;
        const std::int64_t probe = location + probe_shift;
        auto it = std::upper_bound(items.begin(), items.end(), probe,
                                   [](std::int64_t v, const MergedItem& m) { return v < static_cast<std::int64_t>(m.old_start); });
        if (it == items.begin() || probe >= static_cast<std::int64_t>((it - 1)->old_start + (it - 1)->length))
            return fail("reference to " + hex(static_cast<std::uint64_t>(location)) + " lies outside the constants of " +
                        object_.sections[section].name);
        --it;
        mapped = location - static_cast<std::int64_t>(it->old_start) + static_cast<std::int64_t>(it->new_start);
        return true;
    }

    bool number_target(const ElfSymbol& s, std::int64_t addend, Target& t, const std::string& where)
    {
        struct Kind {
            const char* prefix;
            Group group;
        };
        static const Kind kinds[] = {
            {CU_SYM_UNIT, Group::Unit}, {CU_SYM_DLL, Group::Dll}, {CU_SYM_LIB, Group::Library}, {CU_SYM_LTYPE, Group::LibraryType}};
        for (const Kind& k : kinds) {
            if (!starts_with(s.name, k.prefix)) continue;
            const std::string digits = s.name.substr(std::strlen(k.prefix));
            char* end = nullptr;
            const unsigned long long v = std::strtoull(digits.c_str(), &end, 16);
            if (digits.empty() || digits.size() > 8 || *end != '\0' || digits[0] == '+' || digits[0] == '-')
                return fail("symbol " + s.name + " in " + where + " does not end in a hexadecimal number");
            if (addend != 0) return fail("symbol " + s.name + " in " + where + " is used with an offset");
            if (k.group == Group::Dll && v >= request_.dll_count)
                return fail("symbol " + s.name + " in " + where + " names a DLL command the table does not declare");
            if (k.group == Group::Library && v >= request_.library_count)
                return fail("symbol " + s.name + " in " + where + " names a library the list does not hold");
            if (k.group == Group::Unit) out_.unit_numbers.push_back(static_cast<std::uint32_t>(v));
            t = {Place::Number, static_cast<std::int64_t>(v), k.group};
            return true;
        }
        return fail("undefined symbol " + s.name + " in " + where);
    }

    bool resolve(std::size_t section, const ElfRelocation& r, Target& t)
    {
        const ElfSymbol& s = object_.symbols[r.symbol];
        const std::string where = routine_at(section, r.offset);
        const std::int64_t location = static_cast<std::int64_t>(s.value) + r.addend;
        if (s.section == SHN_UNDEF) {
            if (auto i = service_index(s.name)) {
                t = {Place::Code, static_cast<std::int64_t>(stub_of_service_.at(*i)) + r.addend};
                return true;
            }
            if (s.name == CU_SYM_EMPTY_TEXT || s.name == CU_SYM_EMPTY_ARRAY) {
                t = {Place::Const, (s.name == CU_SYM_EMPTY_TEXT ? 0 : std::int64_t{kEmptyArrayOffset}) + r.addend};
                return true;
            }
            return number_target(s, r.addend, t, where);
        }
        if (s.section >= pieces_.size() || pieces_[s.section].kind == PieceKind::None)
            return fail("symbol " + s.name + " in " + where + " is not in the code, the constants or the globals");
        const Piece& p = pieces_[s.section];
        switch (p.kind) {
        case PieceKind::Code: t = {Place::Code, static_cast<std::int64_t>(p.base) + location}; return true;
        case PieceKind::Var: t = {Place::Var, static_cast<std::int64_t>(p.base) + location}; return true;
        case PieceKind::Rodata: t = {Place::Const, static_cast<std::int64_t>(p.base) + location}; return true;
        case PieceKind::Strings:
        case PieceKind::Entries: {
            // A PC-relative addend counts from the end of the operand.
            t.place = Place::Const;
            if (!map_merged(s.section, location, is_pc_relative(r.type) ? 4 : 0, t.offset)) {
                error_ += " (in " + where + ")";
                return false;
            }
            return true;
        }
        default: return fail("symbol " + s.name + " in " + where + " lies in a section the image cannot hold");
        }
    }

    std::int64_t image_offset(const Target& t) const
    {
        return t.place == Place::Code ? static_cast<std::int64_t>(code_data_offset_) + t.offset
                                      : static_cast<std::int64_t>(request_.const_data_offset) + t.offset;
    }

    bool apply_relocations()
    {
        const bool ok = for_each_code_relocation([&](std::size_t section, const ElfRelocation& r) {
            Target t;
            if (!resolve(section, r, t)) return false;
            const ElfSymbol& s = object_.symbols[r.symbol];
            const std::uint64_t operand = pieces_[section].base + r.offset;
            std::uint8_t* at = out_.code_data.data() + operand;
            if (is_pc_relative(r.type)) {
                if (t.place == Place::Var)
                    return fail("PC-relative reference to global " + s.name + " in " + routine_at(section, r.offset) +
                                " (reach globals through cu_var_address)");
                if (t.place == Place::Number)
                    return fail("PC-relative reference to " + s.name + " in " + routine_at(section, r.offset));
                const std::int64_t value = image_offset(t) - static_cast<std::int64_t>(code_data_offset_ + operand);
                if (value < std::numeric_limits<std::int32_t>::min() || value > std::numeric_limits<std::int32_t>::max())
                    return fail("PC-relative reference to " + s.name + " in " + routine_at(section, r.offset) + " is out of range");
                image::store_u32(at, static_cast<std::uint32_t>(static_cast<std::int32_t>(value)));
                return true;
            }
            if (t.place == Place::Number) {
                image::store_u32(at, static_cast<std::uint32_t>(t.offset));
                out_.groups[static_cast<std::size_t>(t.group)].push_back(static_cast<std::uint32_t>(operand));
                return true;
            }
            if (t.offset < 0 || t.offset > std::numeric_limits<std::int32_t>::max())
                return fail("absolute reference to " + s.name + " in " + routine_at(section, r.offset) + " lies outside its section");
            const RelocationKind kind = t.place == Place::Code    ? RelocationKind::Code
                                        : t.place == Place::Const ? RelocationKind::Const
                                                                  : RelocationKind::Var;
            image::store_u32(at, static_cast<std::uint32_t>(t.offset));
            out_.relocations.push_back(image::relocation_word(static_cast<std::uint32_t>(operand), kind));
            return true;
        });
        if (!ok) return false;
        out_.relocations.insert(out_.relocations.end(), stub_relocations_.begin(), stub_relocations_.end());
        return true;
    }

    bool find_entry()
    {
        auto it = out_.routines.find(request_.entry);
        if (it == out_.routines.end()) return fail("the start routine " + request_.entry + " is not a routine in the code");
        out_.start = it->second;
        std::sort(out_.map.begin(), out_.map.end(), [](const MapEntry& a, const MapEntry& b) {
            return std::tie(a.section, a.offset, a.name) < std::tie(b.section, b.offset, b.name);
        });
        return true;
    }

    const ElfObject& object_;
    const LinkRequest& request_;
    std::vector<Piece> pieces_;
    std::map<std::size_t, std::uint32_t> stub_of_service_;  // service index -> stub code offset
    std::vector<std::uint32_t> stub_relocations_;
    std::uint64_t relocation_count_ = 0;
    std::uint64_t code_data_offset_ = 0;
    LinkedProgram out_;
    std::string error_;
};

}  // namespace

std::optional<LinkedProgram> link_program(const ElfObject& object, const LinkRequest& request, std::string* error)
{
    return Linker(object, request).link(error);
}

}  // namespace cu::imagebuild
