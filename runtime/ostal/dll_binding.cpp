#include "dll_binding.h"

#include <strings.h>

namespace cu::ostal {

bool bind_dll_commands(const image::ImageView& view, std::span<const cu_platform_function> functions,
                       std::vector<BoundDll>* bound, std::string* error)
{
    for (std::size_t i = 0; i < view.dll_commands.size(); ++i) {
        const image::DllCommand& command = view.dll_commands[i];
        const std::string library(command.library_word == 0 ? std::string_view{} : view.const_text(command.library_word));
        const std::string function(view.const_text(command.function_word));
        const cu_platform_function* match = nullptr;
        for (const cu_platform_function& f : functions) {
            if (function != f.function) continue;
            if (!library.empty() && strcasecmp(library.c_str(), f.library) != 0) continue;
            match = &f;
            break;
        }
        if (!match) {
            *error = "DLL command " + std::to_string(i) + " names " + (library.empty() ? "(no library)" : library) +
                     " function \"" + function + "\", which the runtime does not provide";
            return false;
        }
        bound->push_back({match->arity, match->call});
    }
    return true;
}

}  // namespace cu::ostal
