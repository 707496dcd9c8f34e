// A unit as a command's argument record: the window id in the value word, the
// unit id in the high word, the unit's library type id as the tag.
#pragma once
#include <cstdint>

#include "values.h"

namespace cu::window {

struct UnitArg {
    std::uint32_t window = 0;
    std::uint32_t unit = 0;
};

inline UnitArg unit_arg(const cu::Args& args, std::uint32_t i)
{
    const cu_value* r = args.at(i);
    return r ? UnitArg{static_cast<std::uint32_t>(r->value), r->high} : UnitArg{};
}

}  // namespace cu::window
