#include "dump.h"

#include <cstdarg>
#include <cstdio>

#include "form.h"
#include "gbk_text.h"
#include "image.h"

namespace cu::imagebuild {
namespace {

using namespace cu::image;

class Printer {
public:
    void line(const char* format, ...) __attribute__((format(printf, 2, 3)))
    {
        char buffer[512];
        va_list args;
        va_start(args, format);
        std::vsnprintf(buffer, sizeof buffer, format, args);
        va_end(args);
        text_ += buffer;
        text_ += '\n';
    }
    std::string take() { return std::move(text_); }

private:
    std::string text_;
};

std::string hex(std::uint32_t v)
{
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%X", v);
    return buffer;
}

std::string offset_text(std::uint32_t v) { return v == kNone ? "-1" : hex(v); }

std::string quoted(const std::string& gbk) { return "\"" + gbk_to_utf8(gbk) + "\""; }

void dump_header(Printer& p, const ImageView& v)
{
    p.line("image %s: 0x%zX bytes", v.name.c_str(), v.bytes.size());
    p.line("header");
    p.line("  section chain at   0x%X", v.first_section);
    p.line("  DLL commands       %zu", v.dll_commands.size());
    p.line("  start routine      0x%X (code 0x%X)", v.start, v.start_in_code());
    for (std::size_t i = 0; i <= static_cast<std::size_t>(Section::Var); ++i)
        p.line("  %-18s 0x%X", (std::string("\"") + section_name(static_cast<Section>(i)) + "\" header").c_str(),
               v.chain[i].offset);
    p.line("support libraries");
    for (std::size_t i = 0; i < v.libraries.size(); ++i) {
        const SupportLibrary& l = v.libraries[i];
        p.line("  %zu %-8s %s %u.%u %s", i, l.short_name.c_str(), l.identifier.c_str(), l.major, l.minor,
               quoted(l.description).c_str());
    }
    p.line("DLL commands");
    for (std::size_t i = 0; i < v.dll_commands.size(); ++i) {
        const DllCommand& c = v.dll_commands[i];
        const std::string library = c.library_word == 0 ? "(none)" : std::string(v.const_text(c.library_word));
        p.line("  %zu %-14s %-22s const 0x%X 0x%X", i, library.c_str(), std::string(v.const_text(c.function_word)).c_str(),
               c.library_word, c.function_word);
    }
}

void dump_sections(Printer& p, const ImageView& v)
{
    p.line("sections          header   length next     flags memory   stored   data     relocations");
    for (const SectionHeader& h : v.chain)
        p.line("  %-14s  0x%-6X 0x%-4X %-8s 0x%-3X 0x%-6X 0x%-6X %-8s %u", ("\"" + h.name + "\"").c_str(), h.offset,
               h.header_length, offset_text(h.next).c_str(), h.flags, h.memory_size, h.stored_size,
               offset_text(h.data_offset).c_str(), h.relocation_count);
    std::size_t by_kind[4] = {};
    for (std::uint32_t r : v.relocations) ++by_kind[r & 7];
    p.line("relocations: %zu (kind 0 service %zu, kind 1 const %zu, kind 2 var %zu, kind 3 code %zu)", v.relocations.size(),
           by_kind[0], by_kind[1], by_kind[2], by_kind[3]);
    p.line("\"@reloc1\" groups: unit %zu, DLL-command %zu, library %zu, library-type %zu", v.groups[0].size(),
           v.groups[1].size(), v.groups[2].size(), v.groups[3].size());
}

void dump_unit(Printer& p, const Unit& u)
{
    if (u.is_menu_item()) {
        p.line("    0x%08X menu item  level %u%s caption %s handler %s", u.id, u.menu_level, u.menu_hidden ? " hidden" : "",
               quoted(u.menu_caption).c_str(),
               u.menu_handler == kNoHandler ? "none" : ("code " + hex(static_cast<std::uint32_t>(u.menu_handler))).c_str());
        return;
    }
    p.line("    0x%08X type 0x%08X %s at %d,%d size %dx%d flags 0x%X parent 0x%X", u.id, u.type, quoted(u.name).c_str(),
           u.left, u.top, u.width, u.height, u.flags, u.parent);
    for (const EventBinding& e : u.events) p.line("      event %u -> code 0x%X", e.event, e.handler);
    if (u.window) p.line("      caption %s", quoted(u.window->caption).c_str());
    if (u.label) p.line("      text %s, colour 0x%06X", quoted(u.label->text).c_str(), u.label->text_colour());
    if (u.button) p.line("      caption %s", quoted(u.button->caption).c_str());
    if (u.combo)
        for (const ComboItem& item : u.combo->items) p.line("      item %s value %d", quoted(item.text).c_str(), item.value);
    if (u.list)
        for (const ListColumn& c : u.list->columns)
            p.line("      column %s width %u format %u", quoted(c.title).c_str(), c.width, c.format);
    if (!u.window && !u.label && !u.button && !u.combo && !u.list) p.line("      %zu block bytes", u.kind_bytes.size());
}

}  // namespace

std::optional<std::string> dump_image(std::span<const std::uint8_t> bytes, const std::string& name, std::string* error)
{
    std::optional<ImageView> view = read_image(bytes, name, error);
    if (!view) return std::nullopt;
    std::optional<Form> form = parse_form(view->form_data, error);  // validated by read_image
    if (!form) return std::nullopt;
    Printer p;
    dump_header(p, *view);
    dump_sections(p, *view);
    p.line("form");
    for (const FormWindow& w : form->windows) {
        p.line("  window 0x%08X: %zu units", w.id, w.units.size());
        for (const Unit& u : w.units) dump_unit(p, u);
    }
    return p.take();
}

}  // namespace cu::imagebuild
