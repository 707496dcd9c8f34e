// The kernel library's exports: GetNewSock, which hands the launcher the start
// function, the kernel's own descriptor, and the load entry for tests.
#include <cstdio>
#include <exception>
#include <string>

#include "errors.h"
#include "loader.h"
#include "test_entry.h"

namespace {

// The start function: load the image the launcher hands over and run it. The
// start routine ends the program through EndProgram; should it return, the
// launcher exits with status 0.
void start_program(const void* image)
{
    const std::span<const std::uint8_t> bytes = cu::ostal::readable_extent(image);
    if (bytes.empty()) {
        char where[32];
        std::snprintf(where, sizeof where, "%p", image);
        cu::fatal(std::string("image at ") + where + ": the address lies in no loaded file");
    }
    const cu::ostal::Program* program = nullptr;
    // Nothing thrown while the image and its libraries load reaches the
    // launcher: it ends the program with the loader's own kind of message.
    try {
        program = &cu::ostal::load_program(bytes, "embedded in the executable", cu::ostal::kernel_library_place(),
                                          cu::ostal::LibraryBinding::during_start);
    } catch (const std::exception& e) {
        cu::fatal(std::string("image embedded in the executable: ") + e.what());
    } catch (...) {
        cu::fatal("image embedded in the executable: the load failed");
    }
    reinterpret_cast<void (*)()>(program->start)();
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) std::uintptr_t GetNewSock(std::int32_t magic)
{
    return magic == CU_GETNEWSOCK_MAGIC ? reinterpret_cast<std::uintptr_t>(static_cast<cu_start_fn>(start_program)) : 0;
}

__attribute__((visibility("default"))) const cu_library* cu_library_descriptor()
{
    return &cu::ostal::kernel_descriptor();
}

__attribute__((visibility("default"))) void cu_runtime_load_for_test(const void* image, size_t size,
                                                                      const char* library_dir, cu_loaded_for_test* out)
{
    if (cu::ostal::loaded_program()) cu::fatal("an image is already loaded");
    const cu::ostal::LibraryPlace place =
        library_dir ? cu::ostal::LibraryPlace{library_dir, ".vlr"} : cu::ostal::kernel_library_place();
    const cu::ostal::Program& program =
        cu::ostal::load_program({static_cast<const std::uint8_t*>(image), size}, "under test", place);
    *out = {program.code_base, program.var_base, program.const_base, program.service_table, program.start};
}
}
