#include "library_binding.h"

#include <dlfcn.h>
#include <strings.h>

#include "hex_text.h"
#include "shared_object_check.h"

namespace cu::ostal {
namespace {

std::string version_text(std::uint32_t major, std::uint32_t minor)
{
    return std::to_string(major) + "." + std::to_string(minor);
}

// The table of a library's commands; a number listed twice is refused, as it
// would make the table's meaning depend on order.
bool index_commands(const cu_library& lib, BoundLibrary* out, std::string* reason)
{
    for (std::uint32_t i = 0; i < lib.command_count; ++i) {
        const cu_command& c = lib.commands[i];
        if (!c.run || !out->commands.emplace(c.number, c.run).second) {
            *reason = "command " + hex_text(c.number) + " is listed twice or has no function";
            return false;
        }
    }
    return true;
}

}  // namespace

std::string library_file(const LibraryPlace& place, std::string_view short_name)
{
    return place.directory + std::string(short_name) + place.extension;
}

LibraryPlace kernel_library_place()
{
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void*>(&kernel_library_place), &info) || !info.dli_fname) return {"./", ".vlr"};
    const std::string path = info.dli_fname;
    const std::size_t slash = path.rfind('/');
    const std::string file = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::size_t dot = file.rfind('.');
    return {slash == std::string::npos ? "./" : path.substr(0, slash + 1),
            dot == std::string::npos ? ".vlr" : file.substr(dot)};
}

std::string descriptor_mismatch(const cu_library& found, const image::SupportLibrary& wanted)
{
    if (!found.identifier || strcasecmp(found.identifier, wanted.identifier.c_str()) != 0)
        return std::string("its identifier ") + (found.identifier ? found.identifier : "(none)") +
               " is not the one the image asks for, " + wanted.identifier;
    if (found.major < wanted.major || (found.major == wanted.major && found.minor < wanted.minor))
        return "its version " + version_text(found.major, found.minor) + " is older than the version " +
               version_text(wanted.major, wanted.minor) + " the image needs";
    return {};
}

bool bind_library(std::size_t index, const image::SupportLibrary& want, const cu_library& kernel,
                  const LibraryPlace& place, BoundLibrary* bound, std::string* error)
{
    const std::string file = library_file(place, want.short_name);
    auto fail = [&](const std::string& reason) {
        *error = "support library " + std::to_string(index) + " \"" + want.short_name + "\" (" +
                 (index == 0 ? std::string("the kernel library") : file) + "): " + reason;
        return false;
    };
    BoundLibrary lib{want.short_name, nullptr, {}};
    const cu_library* descriptor = &kernel;
    if (index != 0) {
        // Checked first: dlopen maps a truncated file and the first touch past its end is SIGBUS.
        if (std::string damage = shared_object_damage(file); !damage.empty()) return fail(damage);
        lib.handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!lib.handle) return fail(std::string("cannot be loaded: ") + dlerror());
        auto describe = reinterpret_cast<cu_library_descriptor_fn>(dlsym(lib.handle, CU_LIBRARY_EXPORT));
        if (!describe) return fail("it exports no " CU_LIBRARY_EXPORT);
        descriptor = describe();
        if (!descriptor) return fail("its descriptor is empty");
    } else if (want.short_name != kernel.short_name) {
        return fail(std::string("the first library must be the kernel library \"") + kernel.short_name + "\"");
    }
    if (std::string why = descriptor_mismatch(*descriptor, want); !why.empty()) return fail(why);
    std::string reason;
    if (!index_commands(*descriptor, &lib, &reason)) return fail(reason);
    *bound = std::move(lib);
    return true;
}

bool bind_libraries(const std::vector<image::SupportLibrary>& wanted, const cu_library& kernel, const LibraryPlace& place,
                    std::vector<BoundLibrary>* bound, std::string* error)
{
    for (std::size_t index = 0; index < wanted.size(); ++index) {
        BoundLibrary lib;
        if (!bind_library(index, wanted[index], kernel, place, &lib, error)) return false;
        bound->push_back(std::move(lib));
    }
    return true;
}

}  // namespace cu::ostal
