// The image's DLL commands, bound by (library, function) name to the
// runtime's platform functions.
#pragma once
#include <span>
#include <string>
#include <vector>

#include "cumulo_abi.h"
#include "image.h"

namespace cu::ostal {

struct BoundDll {
    std::uint32_t arity = 0;
    cu_platform_fn call = nullptr;
};

// Binds DLL command i to the platform function of the same library (letter
// case aside) and function name; a command naming no library (library word 0)
// matches by function name alone. False with *error at the first command the
// runtime does not provide.
bool bind_dll_commands(const image::ImageView& view, std::span<const cu_platform_function> functions,
                       std::vector<BoundDll>* bound, std::string* error);

}  // namespace cu::ostal
