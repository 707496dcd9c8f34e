// One widget per control kind of the layout records.
#pragma once
#include <QWidget>

#include "form.h"

namespace cu::window {

// The widget for a control unit with its kind's content (texts, colours,
// items, columns), not yet placed; null for a kind this window does not draw.
QWidget* make_control(const image::Unit& unit, QWidget* parent);

// A Windows colour value (0x00BBGGRR) as a QColor.
QColor colour_from_colorref(std::uint32_t colorref);

}  // namespace cu::window
