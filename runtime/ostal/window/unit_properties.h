// The unit properties the program reads and writes, by unit kind:
//   3     menu item   visible (1) or hidden (0)
//   6     control     disabled (1) or enabled (0)
//   8     label, edit the text
//   0x0A  button      the caption
//   0x13  combo box   index of the selected item
//   0x23  list        index of the selected row, -1 when none
// Any other pair reads as 0 and ignores writes.
#pragma once
#include <QString>

#include <cstdint>

namespace cu::window {

class LayoutWindow;

enum class PropertyValue { none, integer, text };

// What a property of a unit of kind `type` holds.
PropertyValue property_value(std::uint32_t type, std::uint32_t property);

// GUI thread only.
std::int32_t read_integer_property(const LayoutWindow& window, std::uint32_t unit, std::uint32_t property);
QString read_text_property(const LayoutWindow& window, std::uint32_t unit, std::uint32_t property);
void write_integer_property(LayoutWindow& window, std::uint32_t unit, std::uint32_t property, std::int32_t value);
void write_text_property(LayoutWindow& window, std::uint32_t unit, std::uint32_t property, const QString& text);

}  // namespace cu::window
