// The window layout as a person writes it (UTF-8 text, one statement per
// line), compiled into the "form" model with texts in GBK. Handlers are
// named by routine; bind_handlers() puts in their code offsets once the code
// is linked.
//
//   form 0x52010001                       a window record; units follow
//   window 0x06010000                     a unit: kind, id, optional name
//     geometry 50 50 380 215              left top width height
//     flags visible focus                 or a number
//     style 6 2 1 0xFF000000 ...          the kind-specific style words
//     caption "Cumulo资源搜索"
//     on 0 WindowEventIgnored             event number and handler routine
//   menu 0x2601010D
//     level 1
//     caption "浏览器打开"
//     on chosen OpenShareAddress
//
// Unit kinds: window, menu, label, button, edit, combo, list, and "control"
// for any other (give "type" and its raw block with "block" / "block-bytes").
// Statements of a unit: type, geometry, flags, comment, tag, parent, child,
// pointer, on, style, caption (window, button, menu), text (label),
// item <value> "text" (combo), column <format> <width> "title" (list),
// level and hidden (menu), block <words...>, block-bytes <bytes...>.
// "#" starts a comment outside quotes.
#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "form.h"

namespace cu::imagebuild {

struct HandlerUse {
    std::size_t window = 0;
    std::size_t unit = 0;
    std::optional<std::size_t> event;  // index into the unit's events; none: the menu item's handler
    std::string routine;
    int line = 0;
};

struct Layout {
    image::Form form;
    std::vector<HandlerUse> handlers;
};

// On failure: nothing, and *error is "<line>: <reason>".
std::optional<Layout> parse_layout(std::string_view text, std::string* error);

// Fills in every handler's code offset; an unknown routine is an error.
bool bind_handlers(Layout& layout, const std::map<std::string, std::uint32_t>& routines, std::string* error);

}  // namespace cu::imagebuild
