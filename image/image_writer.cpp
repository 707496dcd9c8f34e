#include <limits>
#include <stdexcept>

#include "bytes.h"
#include "image.h"

namespace cu::image {
namespace {

std::uint32_t checked_u32(std::size_t v, const char* what)
{
    if (v > std::numeric_limits<std::uint32_t>::max() - 1)  // -1 is reserved for "none"
        throw std::length_error(std::string("image too large: ") + what);
    return static_cast<std::uint32_t>(v);
}

std::string library_record(const SupportLibrary& lib)
{
    return lib.short_name + '\r' + lib.identifier + '\r' + std::to_string(lib.major) + '\r' + std::to_string(lib.minor) +
           '\r' + lib.description;
}

// A section header and its data; returns where the header starts and leaves
// the next-header word to be filled once the next section's place is known.
std::size_t write_section(ByteWriter& out, Section s, std::span<const std::uint32_t> relocations,
                          std::span<const std::uint8_t> data, std::uint32_t memory_size)
{
    const std::size_t at = out.size();
    const bool stored = !(section_flags(s) & kNotStored);
    const std::uint32_t header_length = checked_u32(kSectionHeaderSize + 4 * relocations.size(), "relocations");
    out.u32(header_length);
    out.u32(kNone);
    out.u32(section_flags(s));
    std::string name = section_name(s);
    name.resize(kSectionNameSize, '\0');
    out.bytes({reinterpret_cast<const std::uint8_t*>(name.data()), name.size()});
    out.u32(memory_size);
    out.u32(stored ? checked_u32(data.size(), section_name(s)) : 0);
    out.u32(stored ? checked_u32(at + header_length, section_name(s)) : kNone);
    out.u32(static_cast<std::uint32_t>(relocations.size()));
    out.u32(0);
    for (std::uint32_t r : relocations) out.u32(r);
    if (stored) out.bytes(data);
    return at;
}

}  // namespace

std::vector<std::uint8_t> write_image(const ImageParts& parts)
{
    ByteWriter out;
    out.zeros(kHeaderSize);
    for (const DllCommand& c : parts.dll_commands) out.u32(c.library_word);
    for (const DllCommand& c : parts.dll_commands) out.u32(c.function_word);
    for (const SupportLibrary& lib : parts.libraries) out.text(library_record(lib));
    out.zeros(1);  // the empty record ends the list
    ByteWriter groups;
    for (const std::vector<std::uint32_t>& group : parts.groups) {
        groups.u32(checked_u32(group.size(), "@reloc1"));
        for (std::uint32_t operand : group) groups.u32(operand);
    }
    std::array<std::size_t, kSectionCount> at{};
    auto sized = [](const std::vector<std::uint8_t>& v) { return checked_u32(v.size(), "section"); };
    at[0] = write_section(out, Section::Const, {}, parts.const_data, sized(parts.const_data));
    at[1] = write_section(out, Section::Form, {}, parts.form_data, sized(parts.form_data));
    at[2] = write_section(out, Section::Help, {}, parts.help_data, sized(parts.help_data));
    at[3] = write_section(out, Section::Code, parts.relocations, parts.code_data, sized(parts.code_data));
    at[4] = write_section(out, Section::Var, {}, {}, parts.var_size);
    at[5] = write_section(out, Section::Reloc1, {}, groups.data(), sized(groups.data()));
    checked_u32(out.size(), "total");
    for (std::size_t i = 0; i + 1 < kSectionCount; ++i) out.patch_u32(at[i] + 4, static_cast<std::uint32_t>(at[i + 1]));

    out.patch_u32(0x24, static_cast<std::uint32_t>(at[0]));
    out.patch_u32(0x28, kHeaderWord28);
    out.patch_u32(0x2C, kHeaderWord2C);
    out.patch_u32(0x30, kHeaderWord30);
    out.patch_u32(0x34, kHeaderWord34);
    out.patch_u32(0x38, checked_u32(parts.dll_commands.size(), "DLL commands"));
    const std::size_t code_data = at[3] + kSectionHeaderSize + 4 * parts.relocations.size();
    out.patch_u32(0x3C, checked_u32(code_data + parts.start, "start"));
    for (std::size_t i = 0; i <= static_cast<std::size_t>(Section::Var); ++i)
        out.patch_u32(0x40 + 4 * i, static_cast<std::uint32_t>(at[i]));
    out.patch_u32(0x54, static_cast<std::uint32_t>(at[0]));
    return std::move(out.data());
}

ImageParts parts_of(const ImageView& view)
{
    ImageParts parts;
    parts.dll_commands = view.dll_commands;
    parts.libraries = view.libraries;
    parts.const_data.assign(view.const_data.begin(), view.const_data.end());
    parts.form_data.assign(view.form_data.begin(), view.form_data.end());
    parts.help_data.assign(view.help_data.begin(), view.help_data.end());
    parts.code_data.assign(view.code_data.begin(), view.code_data.end());
    parts.var_size = view.var_size;
    parts.relocations = view.relocations;
    parts.groups = view.groups;
    parts.start = view.start_in_code();
    return parts;
}

}  // namespace cu::image
