// The one way a command body is turned into a table entry: nothing escapes
// across the service boundary (image code has no unwind tables), so any
// exception becomes the empty result (a null text or array, 0).
#pragma once
#include <cstdint>

#include "values.h"

namespace cu {

template <cu_value (*Body)(const Args&)>
cu_value guarded(std::uint32_t argc, const cu_value* args) noexcept
{
    try {
        return Body(Args{argc, args});
    } catch (...) {
        return none_result();
    }
}

}  // namespace cu
