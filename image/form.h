// The parsed "form" section: every window of the program with its units
// (the window itself, its controls and its menu items), as the window code
// needs them to build the real window, and the writer that stores them again.
//
// Texts are kept as stored: NUL-free byte strings in the system code page
// (GBK). Converting them for display is the window code's job.
//
// Layout of the section (little-endian, no alignment):
//   u32 8 * window count, u32 window id each, u32 runtime word each,
//   then one window record per window:
//     u32 runtime word x2, u32 0 x2, u32 unit count,
//     u32 byte length of the rest (ids + offsets + records),
//     u32 unit id each, u32 record offset each (from the first record),
//     unit records back to back.
#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "cumulo_abi.h"

namespace cu::image {

// A handler bound to an event: the routine's offset from the start of the
// "code" section's data.
struct EventBinding {
    std::uint32_t event = 0;
    std::uint32_t handler = 0;
    bool operator==(const EventBinding&) const = default;
};

// Kind-specific blocks. The style words are kept whole so that a block is
// written back byte for byte; the accessors name the words the system relies on.

struct WindowBlock {  // unit type CU_LTYPE_WINDOW
    std::array<std::uint32_t, 23> style{};
    std::string caption;
    std::uint32_t trailer = 0;
    bool operator==(const WindowBlock&) const = default;
};

struct LabelBlock {  // CU_LTYPE_LABEL
    std::array<std::uint32_t, 19> style{};
    std::string text;
    std::array<std::uint32_t, 2> trailer{};
    // Windows colour value 0x00BBGGRR.
    std::uint32_t text_colour() const { return style[7]; }
    bool operator==(const LabelBlock&) const = default;
};

struct ButtonBlock {  // CU_LTYPE_BUTTON
    std::array<std::uint32_t, 6> style{};
    std::string caption;
    bool operator==(const ButtonBlock&) const = default;
};

struct ComboItem {
    std::string text;
    std::int32_t value = 0;
    bool operator==(const ComboItem&) const = default;
};

struct ComboBlock {  // CU_LTYPE_COMBO
    std::array<std::uint32_t, 11> style{};
    std::vector<ComboItem> items;  // in index order
    std::uint32_t middle = 0;      // the word between the values and the item count
    std::array<std::uint32_t, 3> trailer{};
    bool operator==(const ComboBlock&) const = default;
};

struct ListColumn {
    std::string key;               // stored before each column; empty here
    std::int32_t image = -1;       // stored as -1 in every column
    std::uint32_t format = 0;      // 0 left, 1 and up as the list's style gives
    std::uint32_t width = 0;       // pixels; 0 hides the column but keeps its cells
    std::string title;
    bool operator==(const ListColumn&) const = default;
};

struct ListBlock {  // CU_LTYPE_LIST
    std::array<std::uint32_t, 28> style{};
    std::vector<ListColumn> columns;
    std::array<std::uint32_t, 2> trailer{};
    bool operator==(const ListBlock&) const = default;
};

// One unit record. Menu items (type CU_LTYPE_MENU) use only id, type, name,
// comment, menu_level, menu_hidden, caption and menu_handler; every other
// kind uses the rest.
struct Unit {
    std::uint32_t id = 0;
    std::uint32_t type = 0;  // library type id
    std::string name;
    std::string comment;

    // Controls and the window.
    std::int32_t left = 0, top = 0, width = 0, height = 0;
    std::uint32_t parent = 0;               // 0: the window
    std::vector<std::uint32_t> children;
    std::vector<std::uint8_t> pointer{0, 0, 0, 0};  // mouse-pointer data; four zeros: the default
    std::string tag;
    std::uint32_t flags = 0;                // kFlagVisible, kFlagTakesFocus
    std::vector<EventBinding> events;
    // The kind-specific block as stored, and decoded for the kinds the window
    // code draws (at most one of these is set, matching `type`).
    std::vector<std::uint8_t> kind_bytes;
    std::optional<WindowBlock> window;
    std::optional<LabelBlock> label;
    std::optional<ButtonBlock> button;
    std::optional<ComboBlock> combo;
    std::optional<ListBlock> list;

    // Menu items.
    std::uint32_t menu_level = 0;       // 0 top level; 1 under the nearest level-0 item before it
    bool menu_hidden = false;
    std::string menu_caption;
    std::int32_t menu_handler = -1;     // code offset of the "chosen" handler, -1 for none

    bool is_menu_item() const { return type == CU_LTYPE_MENU; }
    bool operator==(const Unit&) const = default;
};

inline constexpr std::uint32_t kFlagVisible = 0x1;
inline constexpr std::uint32_t kFlagTakesFocus = 0x4;
inline constexpr std::int32_t kNoHandler = -1;

struct FormWindow {
    std::uint32_t id = 0;                     // e.g. 0x52010001
    std::uint32_t table_word = 0;             // the window table's word for the runtime
    std::array<std::uint32_t, 2> runtime_words{};  // the record's two words for the runtime
    std::vector<Unit> units;                  // in stored order

    const Unit* find(std::uint32_t unit_id) const;
    bool operator==(const FormWindow&) const = default;
};

struct Form {
    std::vector<FormWindow> windows;
    const FormWindow* find(std::uint32_t window_id) const;
    bool operator==(const Form&) const = default;
};

// Parses and validates the whole section: every count, length and offset is
// checked against the bytes present, every kind-specific block of a decoded
// kind must decode exactly, and nothing may follow the last record. On
// failure returns nothing and, when `error` is given, says which unit and
// field is wrong.
std::optional<Form> parse_form(std::span<const std::uint8_t> data, std::string* error);

// Stores the model. The kind-specific block is encoded from the decoded
// block when one is set, otherwise kind_bytes is written as it is.
std::vector<std::uint8_t> write_form(const Form& form);

}  // namespace cu::image
