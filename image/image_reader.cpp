// Validation of a program image from untrusted bytes. Every offset and length
// is checked in 64-bit arithmetic against the bytes present before it is
// used; the first problem found ends the read with one message.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "bytes.h"
#include "form.h"
#include "image.h"

namespace cu::image {
namespace {

// Upper bound on "var": it is allocated at load, so a hostile size must not
// ask for more than a program could sensibly hold.
constexpr std::uint32_t kMaxVarSize = 64u << 20;

std::string hex(std::uint64_t v)
{
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "0x%llX", static_cast<unsigned long long>(v));
    return buffer;
}

bool is_hex_digit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// A decimal version number: 1 to 9 digits, so it fits in 32 bits.
bool parse_decimal(std::string_view text, std::uint32_t& value)
{
    if (text.empty() || text.size() > 9) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
    }
    return true;
}

class Reader {
public:
    Reader(std::span<const std::uint8_t> bytes, std::string_view name) : bytes_(bytes) { view_.name = name; }

    std::optional<ImageView> read(std::string* error)
    {
        if (read_header() && read_dll_table() && read_libraries() && read_chain() && check_section_slots() &&
            check_const() && check_dll_texts() && check_start() && read_relocations() && read_groups() &&
            check_operands_disjoint() && check_form()) {
            view_.bytes = bytes_.first(end_);
            return std::move(view_);
        }
        if (error) *error = error_;
        return std::nullopt;
    }

private:
    // The one error routine: names the image and the reason.
    bool fail(const std::string& reason)
    {
        error_ = "image " + view_.name + ": " + reason;
        return false;
    }

    bool within(std::uint64_t offset, std::uint64_t length) const { return offset + length <= bytes_.size(); }
    std::uint32_t word(std::uint64_t offset) const { return load_u32(bytes_.data() + offset); }

    bool read_header()
    {
        if (!within(0, kHeaderSize))
            return fail("too short for the fixed header (" + std::to_string(bytes_.size()) + " bytes)");
        for (std::uint32_t at = 0; at < 0x24; at += 4)
            if (word(at) != 0) return fail("reserved header word at " + hex(at) + " is not zero");
        const std::pair<std::uint32_t, std::uint32_t> fixed[] = {
            {0x28, kHeaderWord28}, {0x2C, kHeaderWord2C}, {0x30, kHeaderWord30}, {0x34, kHeaderWord34}};
        for (auto [at, value] : fixed)
            if (word(at) != value)
                return fail("header word at " + hex(at) + " is " + hex(word(at)) + ", expected " + hex(value));
        view_.first_section = word(0x24);
        view_.start = word(0x3C);
        if (word(0x54) != word(0x40))
            return fail("header word at 0x54 (" + hex(word(0x54)) + ") differs from the const header offset (" +
                        hex(word(0x40)) + ")");
        return true;
    }

    bool read_dll_table()
    {
        const std::uint32_t count = word(0x38);
        if (!within(kHeaderSize, 8ull * count))
            return fail("DLL-command table of " + std::to_string(count) + " commands runs past the end");
        view_.dll_commands.resize(count);
        for (std::uint32_t i = 0; i < count; ++i) {
            view_.dll_commands[i].library_word = word(kHeaderSize + 4ull * i);
            view_.dll_commands[i].function_word = word(kHeaderSize + 4ull * (count + i));
        }
        position_ = kHeaderSize + 8ull * count;
        return true;
    }

    bool read_libraries()
    {
        for (;;) {
            const std::uint8_t* start = bytes_.data() + position_;
            const void* nul = std::memchr(start, 0, bytes_.size() - position_);
            const std::size_t index = view_.libraries.size();
            if (!nul) return fail("support-library record " + std::to_string(index) + " has no terminating NUL");
            std::string_view record(reinterpret_cast<const char*>(start), static_cast<const std::uint8_t*>(nul) - start);
            position_ += record.size() + 1;
            if (record.empty()) break;
            if (!parse_library(record, index)) return false;
        }
        if (view_.libraries.empty()) return fail("the support-library list is empty (the kernel library is missing)");
        if (view_.first_section != position_)
            return fail("the section chain starts at " + hex(view_.first_section) +
                        ", not right after the support-library list at " + hex(position_));
        return true;
    }

    bool parse_library(std::string_view record, std::size_t index)
    {
        const std::string where = "support-library record " + std::to_string(index) + ": ";
        std::vector<std::string_view> fields;
        for (std::size_t from = 0;;) {
            std::size_t cr = record.find('\r', from);
            fields.push_back(record.substr(from, cr == std::string_view::npos ? cr : cr - from));
            if (cr == std::string_view::npos) break;
            from = cr + 1;
        }
        if (fields.size() != 5) return fail(where + std::to_string(fields.size()) + " fields instead of 5");
        SupportLibrary lib;
        lib.short_name = fields[0];
        lib.identifier = fields[1];
        lib.description = fields[4];
        if (lib.short_name.empty() || !std::all_of(lib.short_name.begin(), lib.short_name.end(), [](char c) {
                return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
            }))
            return fail(where + "short name \"" + lib.short_name + "\" is not a plain file stem");
        if (lib.identifier.size() != 32 || !std::all_of(lib.identifier.begin(), lib.identifier.end(), is_hex_digit))
            return fail(where + "identifier is not 32 hexadecimal digits");
        if (!parse_decimal(fields[2], lib.major) || !parse_decimal(fields[3], lib.minor))
            return fail(where + "version is not two decimal numbers");
        view_.libraries.push_back(std::move(lib));
        return true;
    }

    bool read_chain()
    {
        std::uint64_t expected = view_.first_section;
        for (std::uint32_t at = view_.first_section; at != kNone;) {
            // Each header must begin where the previous piece ended: this
            // refuses loops, overlaps and gaps alike.
            if (at != expected)
                return fail("section header at " + hex(at) + " does not follow the previous section at " + hex(expected));
            if (view_.chain.size() == kSectionCount)
                return fail("the section chain has more than " + std::to_string(kSectionCount) + " sections");
            SectionHeader h;
            if (!read_section_header(at, h)) return false;
            const std::size_t position = view_.chain.size();
            if (h.name != section_name(static_cast<Section>(position)))
                return fail("section " + std::to_string(position) + " is \"" + h.name + "\", expected \"" +
                            section_name(static_cast<Section>(position)) + "\"");
            expected = h.data_offset == kNone ? std::uint64_t{at} + h.header_length
                                              : std::uint64_t{h.data_offset} + h.stored_size;
            end_ = expected;
            at = h.next;
            view_.chain.push_back(std::move(h));
        }
        if (view_.chain.size() != kSectionCount)
            return fail("the section chain ends after " + std::to_string(view_.chain.size()) + " sections");
        return true;
    }

    bool read_section_header(std::uint32_t at, SectionHeader& h)
    {
        if (!within(at, kSectionHeaderSize)) return fail("section header at " + hex(at) + " runs past the end");
        h.offset = at;
        h.header_length = word(at + 0);
        h.next = word(at + 4);
        h.flags = word(at + 8);
        const char* name = reinterpret_cast<const char*>(bytes_.data() + at + 12);
        const std::size_t name_length = strnlen(name, kSectionNameSize);
        h.name.assign(name, name_length);
        h.memory_size = word(at + 36);
        h.stored_size = word(at + 40);
        h.data_offset = word(at + 44);
        h.relocation_count = word(at + 48);
        const std::string where = "section header at " + hex(at) + " (\"" + h.name + "\"): ";
        if (name_length == kSectionNameSize) return fail(where + "name is not NUL-terminated");
        for (std::size_t i = name_length; i < kSectionNameSize; ++i)
            if (name[i] != 0) return fail(where + "name is not NUL-padded");
        if (word(at + 52) != 0) return fail(where + "reserved word is not zero");
        if (std::uint64_t{h.header_length} != kSectionHeaderSize + 4ull * h.relocation_count)
            return fail(where + "header length " + hex(h.header_length) + " does not match " +
                        std::to_string(h.relocation_count) + " relocation entries");
        if (!within(at, h.header_length)) return fail(where + "relocation entries run past the end");
        const std::size_t position = view_.chain.size();
        if (position < kSectionCount && h.flags != section_flags(static_cast<Section>(position)))
            return fail(where + "flags " + hex(h.flags) + ", expected " + hex(section_flags(static_cast<Section>(position))));
        if (h.relocation_count != 0 && position != static_cast<std::size_t>(Section::Code))
            return fail(where + "only \"code\" has relocation entries");
        if (h.flags & kNotStored) {
            // Never read: "var" is allocated, its stored offset is -1.
            if (h.stored_size != 0 || h.data_offset != kNone)
                return fail(where + "a section that is not stored has stored size " + hex(h.stored_size) +
                            " and data offset " + hex(h.data_offset));
            if (h.memory_size > kMaxVarSize) return fail(where + "memory size " + hex(h.memory_size) + " is too large");
        } else {
            if (h.data_offset != std::uint64_t{at} + h.header_length)
                return fail(where + "data offset " + hex(h.data_offset) + " is not right after the header");
            if (h.memory_size != h.stored_size)
                return fail(where + "memory size " + hex(h.memory_size) + " differs from stored size " + hex(h.stored_size));
            if (!within(h.data_offset, h.stored_size)) return fail(where + "data runs past the end");
        }
        return true;
    }

    // The header slots must name the chain's own headers.
    bool check_section_slots()
    {
        for (std::size_t i = 0; i <= static_cast<std::size_t>(Section::Var); ++i) {
            const std::uint32_t slot = 0x40 + 4 * static_cast<std::uint32_t>(i);
            if (word(slot) != view_.chain[i].offset)
                return fail("header slot at " + hex(slot) + " points at " + hex(word(slot)) + ", not at the \"" +
                            view_.chain[i].name + "\" header at " + hex(view_.chain[i].offset));
        }
        auto data = [&](Section s) {
            const SectionHeader& h = view_.section(s);
            return bytes_.subspan(h.data_offset, h.stored_size);
        };
        view_.const_data = data(Section::Const);
        view_.form_data = data(Section::Form);
        view_.help_data = data(Section::Help);
        view_.code_data = data(Section::Code);
        view_.var_size = view_.section(Section::Var).memory_size;
        return true;
    }

    bool check_const()
    {
        if (view_.const_data.empty() || view_.const_data[0] != 0)
            return fail("const data does not start with the empty text");
        return true;
    }

    bool check_const_text(std::uint32_t offset, const std::string& what)
    {
        if (offset >= view_.const_data.size())
            return fail(what + " at const offset " + hex(offset) + " lies outside const");
        if (!std::memchr(view_.const_data.data() + offset, 0, view_.const_data.size() - offset))
            return fail(what + " at const offset " + hex(offset) + " has no terminating NUL");
        return true;
    }

    bool check_dll_texts()
    {
        for (std::size_t i = 0; i < view_.dll_commands.size(); ++i) {
            const DllCommand& c = view_.dll_commands[i];
            const std::string where = "DLL command " + std::to_string(i);
            if (!check_const_text(c.library_word, where + " library name") ||
                !check_const_text(c.function_word, where + " function name"))
                return false;
            if (view_.const_text(c.function_word).empty()) return fail(where + " names no function");
        }
        return true;
    }

    bool check_start()
    {
        const SectionHeader& code = view_.section(Section::Code);
        if (view_.start < code.data_offset || view_.start - code.data_offset >= code.stored_size)
            return fail("start routine offset " + hex(view_.start) + " lies outside the code");
        return true;
    }

    // Bounds now; duplicates and overlaps once all operands are known.
    bool check_operand(std::uint64_t operand, const char* list, std::size_t index)
    {
        if (operand + 4 > view_.code_data.size())
            return fail(std::string(list) + " entry " + std::to_string(index) + ": operand at code offset " + hex(operand) +
                        " does not lie wholly inside the code");
        operands_.push_back(operand);
        return true;
    }

    bool read_relocations()
    {
        const SectionHeader& code = view_.section(Section::Code);
        view_.relocations.resize(code.relocation_count);
        operands_.reserve(code.relocation_count);
        for (std::uint32_t i = 0; i < code.relocation_count; ++i) {
            const std::uint32_t entry = word(code.offset + kSectionHeaderSize + 4ull * i);
            const std::uint32_t operand = entry >> 3, kind = entry & 7;
            if (kind > static_cast<std::uint32_t>(RelocationKind::Code))
                return fail("relocation entry " + std::to_string(i) + " (" + hex(entry) + "): unknown kind " + std::to_string(kind));
            if (!check_operand(operand, "relocation", i)) return false;
            if (kind == static_cast<std::uint32_t>(RelocationKind::Service)) {
                const std::uint32_t slot = load_u32(view_.code_data.data() + operand);
                if (slot % 4 != 0 || slot > kMaxServiceOffset)
                    return fail("relocation entry " + std::to_string(i) + " (" + hex(entry) + "): service slot offset " +
                                hex(slot) + " is not a multiple of 4 from 0x0 to 0x30");
            }
            view_.relocations[i] = entry;
        }
        return true;
    }

    bool read_groups()
    {
        const SectionHeader& reloc1 = view_.section(Section::Reloc1);
        ByteReader in(bytes_.subspan(reloc1.data_offset, reloc1.stored_size));
        for (std::size_t g = 0; g < kGroupCount; ++g) {
            const std::string what = std::string("\"@reloc1\" ") + group_name(static_cast<Group>(g)) + " group";
            const std::uint32_t count = in.u32("count");
            if (!in.ok() || count > in.remaining() / 4) return fail(what + ": count runs past the end of the section");
            view_.groups[g].resize(count);
            for (std::uint32_t i = 0; i < count; ++i) {
                view_.groups[g][i] = in.u32("operand");
                if (!check_operand(view_.groups[g][i], what.c_str(), i)) return false;
            }
        }
        if (!in.at_end()) return fail("\"@reloc1\": " + std::to_string(in.remaining()) + " bytes after the four groups");
        return true;
    }

    // Each operand is rewritten once: none may be listed twice (in the
    // relocation table or the groups) or share a byte with another.
    bool check_operands_disjoint()
    {
        std::sort(operands_.begin(), operands_.end());
        for (std::size_t i = 1; i < operands_.size(); ++i) {
            if (operands_[i] == operands_[i - 1])
                return fail("operand at code offset " + hex(operands_[i]) + " is listed twice");
            if (operands_[i] < operands_[i - 1] + 4)
                return fail("operands at code offsets " + hex(operands_[i - 1]) + " and " + hex(operands_[i]) + " overlap");
        }
        return true;
    }

    // The window code builds windows from "form": its records and the handler
    // offsets they bind must be sound too.
    bool check_form()
    {
        std::string reason;
        std::optional<Form> form = parse_form(view_.form_data, &reason);
        if (!form) return fail("form: " + reason);
        for (const FormWindow& w : form->windows) {
            for (const Unit& u : w.units) {
                auto bad = [&](std::uint32_t handler) { return handler >= view_.code_data.size(); };
                const bool menu_bad = u.is_menu_item() && u.menu_handler != kNoHandler &&
                                      bad(static_cast<std::uint32_t>(u.menu_handler));
                const bool event_bad = std::any_of(u.events.begin(), u.events.end(),
                                                   [&](const EventBinding& e) { return bad(e.handler); });
                if (menu_bad || event_bad)
                    return fail("form: unit " + hex(u.id) + " binds a handler outside the code");
            }
        }
        return true;
    }

    std::span<const std::uint8_t> bytes_;
    ImageView view_;
    std::string error_;
    std::uint64_t position_ = 0;  // while reading the lists before the chain
    std::uint64_t end_ = 0;       // end of the last section read
    std::vector<std::uint64_t> operands_;  // every relocated or renumbered operand
};

}  // namespace

const char* section_name(Section s)
{
    static const char* const names[] = {"const", "form", "help", "code", "var", "@reloc1"};
    return names[static_cast<std::size_t>(s)];
}

std::uint32_t section_flags(Section s)
{
    switch (s) {
    case Section::Code: return kReadable | kExecutable;
    case Section::Var: return kReadable | kWritable | kNotStored;
    default: return kReadable;
    }
}

const char* group_name(Group g)
{
    static const char* const names[] = {"unit", "DLL-command", "library", "library-type"};
    return names[static_cast<std::size_t>(g)];
}

std::string_view ImageView::const_text(std::uint32_t offset) const
{
    return reinterpret_cast<const char*>(const_data.data() + offset);
}

std::optional<ImageView> read_image(std::span<const std::uint8_t> bytes, std::string_view name, std::string* error)
{
    return Reader(bytes, name).read(error);
}

}  // namespace cu::image
