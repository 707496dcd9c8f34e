#include "form.h"

#include <algorithm>
#include <cstdio>
#include <set>

#include "bytes.h"

namespace cu::image {
namespace {

std::string hex(std::uint32_t v)
{
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%08X", v);
    return buffer;
}

template <std::size_t N>
void read_words(ByteReader& in, std::array<std::uint32_t, N>& words, const char* what)
{
    for (std::uint32_t& w : words) w = in.u32(what);
}

template <std::size_t N>
void write_words(ByteWriter& out, const std::array<std::uint32_t, N>& words)
{
    for (std::uint32_t w : words) out.u32(w);
}

// A count of fixed-size items must fit in what is left; this keeps a hostile
// count from reserving gigabytes before the reads fail.
bool count_fits(ByteReader& in, std::uint32_t count, std::size_t item_size, const char* what)
{
    if (count > in.remaining() / item_size) {
        in.fail(what, "count " + std::to_string(count) + " exceeds the bytes left");
        return false;
    }
    return true;
}

void expect_zero(ByteReader& in, const char* what)
{
    if (in.u32(what) != 0) in.fail(what, "reserved word is not zero");
}

void decode_window(ByteReader& in, WindowBlock& b)
{
    read_words(in, b.style, "window style");
    b.caption = in.counted_text("window caption");
    b.trailer = in.u32("window trailer");
}

void decode_label(ByteReader& in, LabelBlock& b)
{
    read_words(in, b.style, "label style");
    b.text = in.counted_text("label text");
    read_words(in, b.trailer, "label trailer");
}

void decode_button(ByteReader& in, ButtonBlock& b)
{
    read_words(in, b.style, "button style");
    b.caption = in.counted_text("button caption");
}

void decode_combo(ByteReader& in, ComboBlock& b)
{
    read_words(in, b.style, "combo style");
    std::uint32_t value_bytes = in.u32("combo value byte count");
    if (value_bytes % 4 != 0) in.fail("combo value byte count", "not a multiple of 4");
    if (!in.ok() || !count_fits(in, value_bytes / 4, 4, "combo values")) return;
    std::vector<std::int32_t> values(value_bytes / 4);
    for (std::int32_t& v : values) v = in.i32("combo value");
    b.middle = in.u32("combo word after the values");
    std::uint16_t count = in.u16("combo item count");
    if (in.ok() && count != values.size()) {
        in.fail("combo item count", std::to_string(count) + " items but " + std::to_string(values.size()) + " values");
        return;
    }
    b.items.resize(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        b.items[i].text = in.counted_text("combo item text");
        b.items[i].value = values[i];
    }
    read_words(in, b.trailer, "combo trailer");
}

void decode_list(ByteReader& in, ListBlock& b)
{
    read_words(in, b.style, "list style");
    std::uint32_t column_bytes = in.u32("list column byte count");
    ByteReader columns(in.bytes(column_bytes, "list columns"));
    while (in.ok() && columns.ok() && !columns.at_end()) {
        ListColumn c;
        c.key = columns.text("column key");
        c.image = columns.i32("column image");
        c.format = columns.u32("column format");
        c.width = columns.u32("column width");
        c.title = columns.text("column title");
        b.columns.push_back(std::move(c));
    }
    if (!columns.ok()) in.fail("list column " + std::to_string(b.columns.size()), columns.error());
    read_words(in, b.trailer, "list trailer");
}

// Decodes the block of a kind the window code draws; other kinds keep only
// their bytes.
void decode_kind_block(ByteReader& in, Unit& u)
{
    switch (u.type) {
    case CU_LTYPE_WINDOW: decode_window(in, u.window.emplace()); break;
    case CU_LTYPE_LABEL: decode_label(in, u.label.emplace()); break;
    case CU_LTYPE_BUTTON: decode_button(in, u.button.emplace()); break;
    case CU_LTYPE_COMBO: decode_combo(in, u.combo.emplace()); break;
    case CU_LTYPE_LIST: decode_list(in, u.list.emplace()); break;
    default: return;
    }
    if (in.ok() && !in.at_end()) in.fail("kind-specific block", std::to_string(in.remaining()) + " bytes left over");
}

void parse_menu_item(ByteReader& in, Unit& u)
{
    u.menu_level = in.u32("menu level");
    std::uint32_t hidden = in.u32("menu hidden flag");
    if (hidden > 1) in.fail("menu hidden flag", "is neither 0 nor 1");
    u.menu_hidden = hidden == 1;
    u.menu_caption = in.text("menu caption");
    u.menu_handler = in.i32("menu handler");
    in.skip_zeros(16, "menu reserved bytes");
    if (in.ok() && !in.at_end()) in.fail("menu item record", std::to_string(in.remaining()) + " bytes left over");
}

void parse_control(ByteReader& in, Unit& u)
{
    u.left = in.i32("left");
    u.top = in.i32("top");
    u.width = in.i32("width");
    u.height = in.i32("height");
    expect_zero(in, "reserved word after the geometry");
    u.parent = in.u32("parent unit id");
    std::uint32_t children = in.u32("child count");
    if (!count_fits(in, children, 4, "child count")) return;
    u.children.resize(children);
    for (std::uint32_t& c : u.children) c = in.u32("child unit id");
    std::uint32_t pointer_bytes = in.u32("mouse-pointer byte count");
    std::span<const std::uint8_t> pointer = in.bytes(pointer_bytes, "mouse-pointer data");
    u.pointer.assign(pointer.begin(), pointer.end());
    u.tag = in.text("tag");
    expect_zero(in, "reserved word before the flags");
    u.flags = in.u32("flags");
    expect_zero(in, "reserved word after the flags");
    std::uint32_t events = in.u32("event-binding count");
    if (!count_fits(in, events, 8, "event-binding count")) return;
    u.events.resize(events);
    for (EventBinding& e : u.events) {
        e.event = in.u32("event number");
        e.handler = in.u32("event handler");
    }
    in.skip_zeros(20, "reserved bytes before the kind-specific block");
    std::span<const std::uint8_t> kind = in.bytes(in.remaining(), "kind-specific block");
    u.kind_bytes.assign(kind.begin(), kind.end());
    ByteReader block(kind);
    decode_kind_block(block, u);
    if (!block.ok()) in.fail("kind-specific block", block.error());
}

// One unit record: u32 length of the rest, then the rest.
void parse_unit(ByteReader& records, Unit& u)
{
    std::uint32_t length = records.u32("record length");
    if (records.ok() && length > records.remaining()) {
        records.fail("unit " + hex(u.id), "record of " + std::to_string(length) + " bytes runs past the window record");
        return;
    }
    ByteReader in(records.bytes(length, "record"));
    if (!records.ok()) return;
    u.type = in.u32("library type id");
    in.skip_zeros(20, "reserved bytes after the type");
    u.name = in.text("name");
    u.comment = in.text("comment");
    expect_zero(in, "reserved word after the comment");
    if (u.is_menu_item())
        parse_menu_item(in, u);
    else
        parse_control(in, u);
    if (!in.ok()) records.fail("unit " + hex(u.id), in.error());
}

void parse_window_record(ByteReader& form, FormWindow& w)
{
    w.runtime_words[0] = form.u32("runtime word");
    w.runtime_words[1] = form.u32("runtime word");
    expect_zero(form, "window record reserved word");
    expect_zero(form, "window record reserved word");
    std::uint32_t count = form.u32("unit count");
    std::uint32_t length = form.u32("window record length");
    ByteReader in(form.bytes(length, "window record"));
    if (!form.ok() || !count_fits(in, count, 8, "unit count")) {
        if (!in.ok()) form.fail("window " + hex(w.id), in.error());
        return;
    }
    w.units.resize(count);
    std::set<std::uint32_t> ids;
    for (Unit& u : w.units) {
        u.id = in.u32("unit id");
        if (!ids.insert(u.id).second) in.fail("unit " + hex(u.id), "listed twice");
    }
    std::vector<std::uint32_t> offsets(count);
    for (std::uint32_t& o : offsets) o = in.u32("unit record offset");
    const std::size_t first = in.position();
    for (std::size_t i = 0; i < count && in.ok(); ++i) {
        // Records lie back to back; an offset elsewhere would make two units
        // share bytes or leave bytes that belong to none.
        if (offsets[i] != in.position() - first) {
            in.fail("unit " + hex(w.units[i].id), "record offset " + std::to_string(offsets[i]) +
                                                      " is not where the previous record ends (" +
                                                      std::to_string(in.position() - first) + ")");
            break;
        }
        parse_unit(in, w.units[i]);
    }
    if (in.ok() && !in.at_end()) in.fail("window record", std::to_string(in.remaining()) + " bytes after the last unit");
    if (!in.ok()) form.fail("window " + hex(w.id), in.error());
}

void write_kind_block(ByteWriter& out, const Unit& u)
{
    if (u.window) {
        write_words(out, u.window->style);
        out.counted_text(u.window->caption);
        out.u32(u.window->trailer);
    } else if (u.label) {
        write_words(out, u.label->style);
        out.counted_text(u.label->text);
        write_words(out, u.label->trailer);
    } else if (u.button) {
        write_words(out, u.button->style);
        out.counted_text(u.button->caption);
    } else if (u.combo) {
        write_words(out, u.combo->style);
        out.u32(static_cast<std::uint32_t>(4 * u.combo->items.size()));
        for (const ComboItem& item : u.combo->items) out.i32(item.value);
        out.u32(u.combo->middle);
        out.u16(static_cast<std::uint16_t>(u.combo->items.size()));
        for (const ComboItem& item : u.combo->items) out.counted_text(item.text);
        write_words(out, u.combo->trailer);
    } else if (u.list) {
        write_words(out, u.list->style);
        const std::size_t count_at = out.size();
        out.u32(0);
        for (const ListColumn& c : u.list->columns) {
            out.text(c.key);
            out.i32(c.image);
            out.u32(c.format);
            out.u32(c.width);
            out.text(c.title);
        }
        out.patch_u32(count_at, static_cast<std::uint32_t>(out.size() - count_at - 4));
        write_words(out, u.list->trailer);
    } else {
        out.bytes(u.kind_bytes);
    }
}

void write_unit(ByteWriter& out, const Unit& u)
{
    const std::size_t length_at = out.size();
    out.u32(0);
    out.u32(u.type);
    out.zeros(20);
    out.text(u.name);
    out.text(u.comment);
    out.u32(0);
    if (u.is_menu_item()) {
        out.u32(u.menu_level);
        out.u32(u.menu_hidden ? 1 : 0);
        out.text(u.menu_caption);
        out.i32(u.menu_handler);
        out.zeros(16);
    } else {
        out.i32(u.left);
        out.i32(u.top);
        out.i32(u.width);
        out.i32(u.height);
        out.u32(0);
        out.u32(u.parent);
        out.u32(static_cast<std::uint32_t>(u.children.size()));
        for (std::uint32_t c : u.children) out.u32(c);
        out.u32(static_cast<std::uint32_t>(u.pointer.size()));
        out.bytes(u.pointer);
        out.text(u.tag);
        out.u32(0);
        out.u32(u.flags);
        out.u32(0);
        out.u32(static_cast<std::uint32_t>(u.events.size()));
        for (const EventBinding& e : u.events) {
            out.u32(e.event);
            out.u32(e.handler);
        }
        out.zeros(20);
        write_kind_block(out, u);
    }
    out.patch_u32(length_at, static_cast<std::uint32_t>(out.size() - length_at - 4));
}

}  // namespace

const Unit* FormWindow::find(std::uint32_t unit_id) const
{
    auto it = std::find_if(units.begin(), units.end(), [&](const Unit& u) { return u.id == unit_id; });
    return it == units.end() ? nullptr : &*it;
}

const FormWindow* Form::find(std::uint32_t window_id) const
{
    auto it = std::find_if(windows.begin(), windows.end(), [&](const FormWindow& w) { return w.id == window_id; });
    return it == windows.end() ? nullptr : &*it;
}

std::optional<Form> parse_form(std::span<const std::uint8_t> data, std::string* error)
{
    ByteReader in(data);
    Form form;
    std::uint32_t table_bytes = in.u32("window table size");
    if (table_bytes % 8 != 0) in.fail("window table size", "not a multiple of 8");
    if (in.ok() && count_fits(in, table_bytes / 8, 8, "window count")) {
        form.windows.resize(table_bytes / 8);
        std::set<std::uint32_t> ids;
        for (FormWindow& w : form.windows) {
            w.id = in.u32("window id");
            if (!ids.insert(w.id).second) in.fail("window " + hex(w.id), "listed twice");
        }
        for (FormWindow& w : form.windows) w.table_word = in.u32("window table word");
        for (FormWindow& w : form.windows) {
            if (!in.ok()) break;
            parse_window_record(in, w);
        }
        if (in.ok() && !in.at_end()) in.fail("form", std::to_string(in.remaining()) + " bytes after the last window");
    }
    if (!in.ok()) {
        if (error) *error = in.error();
        return std::nullopt;
    }
    return form;
}

std::vector<std::uint8_t> write_form(const Form& form)
{
    ByteWriter out;
    out.u32(static_cast<std::uint32_t>(8 * form.windows.size()));
    for (const FormWindow& w : form.windows) out.u32(w.id);
    for (const FormWindow& w : form.windows) out.u32(w.table_word);
    for (const FormWindow& w : form.windows) {
        out.u32(w.runtime_words[0]);
        out.u32(w.runtime_words[1]);
        out.u32(0);
        out.u32(0);
        out.u32(static_cast<std::uint32_t>(w.units.size()));
        const std::size_t length_at = out.size();
        out.u32(0);
        for (const Unit& u : w.units) out.u32(u.id);
        const std::size_t offsets_at = out.size();
        out.zeros(4 * w.units.size());
        const std::size_t first = out.size();
        for (std::size_t i = 0; i < w.units.size(); ++i) {
            out.patch_u32(offsets_at + 4 * i, static_cast<std::uint32_t>(out.size() - first));
            write_unit(out, w.units[i]);
        }
        out.patch_u32(length_at, static_cast<std::uint32_t>(out.size() - length_at - 4));
    }
    return std::move(out.data());
}

}  // namespace cu::image
