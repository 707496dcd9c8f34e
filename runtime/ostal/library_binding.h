// The image's support libraries, bound in list order so that a library's list
// position is its library index; each brings its command table.
#pragma once
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "cumulo_abi.h"
#include "image.h"

namespace cu::ostal {

struct BoundLibrary {
    std::string short_name;
    void* handle = nullptr;  // from dlopen; null for the kernel library itself
    std::unordered_map<std::uint32_t, cu_command_fn> commands;
    bool late = false;  // a stand-in: the library is bound at its first use (late_libraries.h)
};

// Where support library files are looked for: a directory (with its final
// separator) and the file extension, "<dir><short name><extension>".
struct LibraryPlace {
    std::string directory;
    std::string extension;
};

// The file of the support library `short_name`: "<dir><short name><extension>".
std::string library_file(const LibraryPlace& place, std::string_view short_name);

// The kernel library's own file: its directory and extension.
LibraryPlace kernel_library_place();

// Checks a library's descriptor against what the image asks for: the same
// identifier (either letter case) and a version not older. Empty when it fits,
// else the reason.
std::string descriptor_mismatch(const cu_library& found, const image::SupportLibrary& wanted);

// Binds library `index` of the image's list (0 is `kernel`, checked like the
// others; the rest are loaded from `place`). False with *error naming the
// library and the reason.
bool bind_library(std::size_t index, const image::SupportLibrary& wanted, const cu_library& kernel,
                  const LibraryPlace& place, BoundLibrary* bound, std::string* error);

// Binds every library of `wanted`: index 0 is `kernel` (checked like the
// others), the rest are loaded from `place`. False with *error naming the
// library and the reason at the first that fails; libraries already loaded
// stay loaded (the process is about to end).
bool bind_libraries(const std::vector<image::SupportLibrary>& wanted, const cu_library& kernel, const LibraryPlace& place,
                    std::vector<BoundLibrary>* bound, std::string* error);

}  // namespace cu::ostal
