#include "loader.h"

#include <link.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "blocks.h"
#include "errors.h"
#include "kernel_modules.h"
#include "late_libraries.h"
#include "library_ids.h"
#include "low_arena.h"
#include "perf_map.h"
#include "window_api.h"

namespace cu::ostal {
namespace {

[[noreturn]] void refuse(std::string_view name, const std::string& reason)
{
    fatal("image " + std::string(name) + ": " + reason);
}

struct Extent {
    std::uintptr_t address;
    std::uintptr_t end = 0;
};

int find_segment(dl_phdr_info* info, std::size_t, void* data)
{
    auto* extent = static_cast<Extent*>(data);
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_LOAD) continue;
        const std::uintptr_t begin = info->dlpi_addr + ph.p_vaddr;
        if (extent->address >= begin && extent->address < begin + ph.p_memsz) {
            extent->end = begin + ph.p_memsz;
            return 1;
        }
    }
    return 0;
}

// Binds the image's libraries in list order as a start does: a late library
// whose record matches the files stands in the list as a stand-in and is
// bound after the window shows (late_libraries.h).
bool bind_for_start(Program* program, std::string_view name, const std::vector<image::SupportLibrary>& wanted,
                    const LibraryPlace& place, std::string* error)
{
    std::vector<LateLibrary> late;
    for (std::size_t index = 0; index < wanted.size(); ++index) {
        BoundLibrary lib{wanted[index].short_name, nullptr, {}};
        const LateLibrary candidate{index, wanted[index]};
        if (index == 0 || !binds_late(wanted[index].short_name)) {
            if (!bind_library(index, wanted[index], kernel_descriptor(), place, &lib, error)) return false;
        } else if (recorded_as_bound(candidate, place)) {
            lib.late = true;
            late.push_back(candidate);
        } else if (!bind_and_record(candidate, place, &lib, error)) {
            return false;
        }
        program->libraries.push_back(std::move(lib));
    }
    set_late_libraries(std::move(late), place, std::string(name));
    return true;
}

std::vector<cu_command> kernel_commands()
{
    std::vector<cu_command> all;
    for (auto module : {kernel::text_commands(), kernel::script_object_commands(), kernel::window_commands()})
        all.insert(all.end(), module.begin(), module.end());
    return all;
}

}  // namespace

const cu_library& kernel_descriptor()
{
    static const std::vector<cu_command> commands = kernel_commands();
    static const cu_library descriptor{"ostal", CU_ID_OSTAL, 5, 3, "system core support library", commands.data(),
                                       static_cast<std::uint32_t>(commands.size())};
    return descriptor;
}

std::span<const std::uint8_t> readable_extent(const void* image)
{
    Extent extent{reinterpret_cast<std::uintptr_t>(image)};
    dl_iterate_phdr(find_segment, &extent);
    if (extent.end == 0) return {};
    return {static_cast<const std::uint8_t*>(image), extent.end - extent.address};
}

const Program& load_program(std::span<const std::uint8_t> bytes, std::string_view name, const LibraryPlace& place,
                            LibraryBinding binding)
{
    std::string error;
    const std::optional<image::ImageView> read = image::read_image(bytes, name, &error);
    if (!read) fatal(error);
    const image::ImageView& view = *read;

    // One low mapping: the service table, the image copy, "var".
    const std::size_t table_bytes = LowArena::page_round(kServiceTableBytes);
    const std::size_t image_bytes = LowArena::page_round(view.bytes.size());
    const std::size_t var_bytes = LowArena::page_round(std::max<std::size_t>(view.var_size, 1));
    LowArena arena;
    if (!arena.reserve(table_bytes + image_bytes + var_bytes, &error)) refuse(name, error);

    auto* program = new Program;  // lives until the process ends
    program->service_table = reinterpret_cast<std::uint64_t*>(arena.base());
    program->image = arena.base() + table_bytes;
    program->image_size = view.bytes.size();
    program->var_base = program->image + image_bytes;  // zero-filled by the mapping
    std::memcpy(program->image, view.bytes.data(), view.bytes.size());
    program->const_base = program->image + view.section(image::Section::Const).data_offset;
    program->code_base = program->image + view.section(image::Section::Code).data_offset;
    program->start = reinterpret_cast<std::uint64_t>(program->image) + view.start;
    fill_service_table(program->service_table);

    const bool bound = binding == LibraryBinding::during_start
                           ? bind_for_start(program, name, view.libraries, place, &error)
                           : bind_libraries(view.libraries, kernel_descriptor(), place, &program->libraries, &error);
    if (!bound) refuse(name, error);
    if (!bind_dll_commands(view, kernel::platform_functions(), &program->dlls, &error)) refuse(name, error);

    image::Addresses addresses;
    addresses.const_base = reinterpret_cast<std::uint64_t>(program->const_base);
    addresses.var_base = reinterpret_cast<std::uint64_t>(program->var_base);
    addresses.code_base = reinterpret_cast<std::uint64_t>(program->code_base);
    for (std::size_t slot = 0; slot < image::kServiceSlots; ++slot)
        addresses.slot_address[slot] = reinterpret_cast<std::uint64_t>(program->service_table + slot);
    if (!image::relocate(view, program->code_base, addresses, {}, &error)) fatal(error);

    // W^X: the table and the image read-only, the pages holding code
    // read+execute; only "var" stays writable.
    const std::size_t code_size = view.code_data.size();
    if (!arena.protect(program->service_table, table_bytes, PROT_READ, &error) ||
        !arena.protect(program->image, image_bytes, PROT_READ, &error) ||
        (code_size && !arena.protect(program->code_base, code_size, PROT_READ | PROT_EXEC, &error)))
        refuse(name, error);

    set_image_range(program->image, program->image_size);
    std::span<const std::uint8_t> form;
    if (!view.form_data.empty())
        form = {program->image + view.section(image::Section::Form).data_offset, view.form_data.size()};
    cu::window::set_layout(form, program->code_base);
    write_perf_map(program->code_base);
    set_loaded_program(program);
    return *program;
}

}  // namespace cu::ostal
