// The two lists besides the layout that go into an image: the declared DLL
// commands (from a small text file) and the support libraries (from
// library_ids.h, shared with the runtime's libraries).
#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "image.h"

namespace cu::imagebuild {

struct DllDeclaration {
    std::string library;   // empty: no library named
    std::string function;
};

// One line per command: "<index> <library or -> <function>", indices 0, 1,
// 2... in order; "#" starts a comment. On failure *error is "line N: reason".
std::optional<std::vector<DllDeclaration>> parse_dll_table(std::string_view text, std::string* error);

// The support-library list of library_ids.h, descriptions in GBK.
std::optional<std::vector<image::SupportLibrary>> support_libraries(std::string* error);

}  // namespace cu::imagebuild
