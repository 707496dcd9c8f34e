#include "build_image.h"

#include <algorithm>
#include <cstdio>
#include <set>

#include "bytes.h"
#include "elf_object.h"
#include "form.h"
#include "image.h"
#include "layout_file.h"
#include "program_inputs.h"
#include "program_linker.h"

namespace cu::imagebuild {
namespace {

std::string hex(std::uint64_t v)
{
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "0x%llx", static_cast<unsigned long long>(v));
    return buffer;
}

std::string map_text(const std::vector<MapEntry>& entries)
{
    std::string text;
    for (const MapEntry& e : entries) text += e.section + " " + hex(e.offset) + " " + hex(e.size) + " " + e.name + "\n";
    return text;
}

// Every unit id the code names must be a window or a unit of the layout.
bool check_unit_numbers(const LinkedProgram& program, const image::Form& form, std::string* error)
{
    std::set<std::uint32_t> known;
    for (const image::FormWindow& w : form.windows) {
        known.insert(w.id);
        for (const image::Unit& u : w.units) known.insert(u.id);
    }
    for (std::uint32_t id : program.unit_numbers) {
        if (!known.count(id)) {
            if (error) *error = "object: the code names unit " + hex(id) + ", which the layout does not hold";
            return false;
        }
    }
    return true;
}

}  // namespace

std::optional<BuiltImage> build_image(const BuildInputs& inputs, std::string* error)
{
    std::string reason;
    auto failed = [&](const char* input) {
        if (error) *error = std::string(input) + ": " + reason;
        return std::nullopt;
    };
    std::optional<Layout> layout = parse_layout(inputs.layout, &reason);
    if (!layout) return failed("layout");
    std::optional<std::vector<DllDeclaration>> dlls = parse_dll_table(inputs.dll_table, &reason);
    if (!dlls) return failed("DLL-command table");
    std::optional<std::vector<image::SupportLibrary>> libraries = support_libraries(&reason);
    if (!libraries) return failed("support-library list");
    std::optional<ElfObject> object = read_elf_object(inputs.object, &reason);
    if (!object) return failed("object");

    image::ImageParts parts;
    parts.libraries = std::move(*libraries);
    parts.help_data.assign(image::kSectionHeaderSize, 0);

    LinkRequest request;
    request.entry = inputs.entry;
    request.dll_count = static_cast<std::uint32_t>(dlls->size());
    request.library_count = static_cast<std::uint32_t>(parts.libraries.size());
    for (const DllDeclaration& d : *dlls)
        if (!d.library.empty()) request.dll_texts.push_back(d.library);
    for (const DllDeclaration& d : *dlls) request.dll_texts.push_back(d.function);
    // What precedes the const data and what lies between it and the code
    // does not depend on the code: measure it with an empty image.
    parts.dll_commands.resize(dlls->size());
    parts.form_data = image::write_form(layout->form);  // handler offsets do not change its size
    image::ImageParts probe = parts;
    probe.const_data.clear();
    probe.code_data.clear();
    const std::vector<std::uint8_t> empty = image::write_image(probe);
    request.const_data_offset = image::load_u32(empty.data() + 0x40) + image::kSectionHeaderSize;
    request.bytes_between_const_and_code = image::load_u32(empty.data() + 0x4C) + image::kSectionHeaderSize -
                                           request.const_data_offset;

    std::optional<LinkedProgram> program = link_program(*object, request, &reason);
    if (!program) return failed("object");
    if (!bind_handlers(*layout, program->routines, &reason)) return failed("layout");
    if (!check_unit_numbers(*program, layout->form, error)) return std::nullopt;

    for (std::size_t i = 0; i < dlls->size(); ++i) {
        const DllDeclaration& d = (*dlls)[i];
        parts.dll_commands[i].library_word = d.library.empty() ? 0 : program->dll_text_offsets.at(d.library);
        parts.dll_commands[i].function_word = program->dll_text_offsets.at(d.function);
    }
    parts.form_data = image::write_form(layout->form);
    parts.const_data = std::move(program->const_data);
    parts.code_data = std::move(program->code_data);
    parts.var_size = program->var_size;
    parts.relocations = std::move(program->relocations);
    for (std::size_t g = 0; g < image::kGroupCount; ++g) parts.groups[g] = std::move(program->groups[g]);
    parts.start = program->start;

    BuiltImage built;
    built.image = image::write_image(parts);
    if (!image::read_image(built.image, "being built", &reason)) {
        if (error) *error = reason;
        return std::nullopt;
    }
    built.map = map_text(program->map);
    return built;
}

}  // namespace cu::imagebuild
