// The services image code calls through the table. Each one passes a stop
// point at entry, before any C++ object lives, and another after the work,
// whose objects are gone by then (the work happens in a function of its
// own). Nothing throws out: the image has no unwind tables.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "blocks.h"
#include "errors.h"
#include "hex_text.h"
#include "late_libraries.h"
#include "loader.h"
#include "program.h"
#include "window_api.h"
#include "worker.h"

namespace cu::ostal {
namespace {

std::atomic<const Program*> current_program{nullptr};
std::atomic<std::uint64_t> registered_routine{0};  // selector 3

const Program& program()
{
    const Program* p = current_program.load();
    if (!p) fatal("a service was called before the image was loaded");
    return *p;
}

cu_value run_command(cu_command_fn run, std::uint32_t argc, const cu_value* args) noexcept
{
    try {
        return run(argc, args);
    } catch (...) {
        return {0, 0, CU_TAG_OMITTED};
    }
}

cu_value dispatch(std::uint32_t library, std::uint32_t command, std::uint32_t argc, const cu_value* args) noexcept
{
    try {
        const Program& p = program();
        if (library >= p.libraries.size())
            fatal("the program called command " + hex_text(command) + " of library " + std::to_string(library) +
                  ", which the image does not list");
        const BoundLibrary& lib = p.libraries[library].late ? late_library(library) : p.libraries[library];
        const auto it = lib.commands.find(command);
        if (it == lib.commands.end())
            fatal("the program called command " + hex_text(command) + " of library " + std::to_string(library) + " (" +
                  lib.short_name + "), which it does not have");
        return run_command(it->second, argc, args);
    } catch (...) {
        fatal("a library command could not be dispatched");
    }
}

std::uint64_t call_dll(std::uint32_t index, std::uint32_t argc, const std::uint64_t* args) noexcept
{
    try {
        const Program& p = program();
        if (index >= p.dlls.size())
            fatal("the program called DLL command " + std::to_string(index) + ", which the image does not declare");
        const BoundDll& dll = p.dlls[index];
        if (argc != dll.arity) report_runtime_error(CU_ERROR_DLL_ARITY);
        return dll.call(args);
    } catch (...) {
        return 0;
    }
}

std::uint64_t read_property(std::uint32_t window, std::uint32_t unit, std::uint32_t property) noexcept
{
    try {
        return cu::window::read_unit_property(window, unit, property);
    } catch (...) {
        return 0;
    }
}

void write_property(std::uint32_t window, std::uint32_t unit, std::uint32_t property, std::uint64_t value) noexcept
{
    try {
        cu::window::write_unit_property(window, unit, property, value);
    } catch (...) {
    }
}

// --- the entry points -----------------------------------------------------

void svc_ReportRuntimeError(std::uint32_t code)
{
    stop_point();
    report_runtime_error(code);
}

std::uint64_t svc_CallDllCommand(std::uint32_t index, std::uint32_t argc, const std::uint64_t* args)
{
    stop_point();
    const std::uint64_t result = call_dll(index, argc, args);
    stop_point();
    return result;
}

cu_value svc_CallLibraryCommand(std::uint32_t library, std::uint32_t command, std::uint32_t argc, const cu_value* args)
{
    stop_point();
    const cu_value result = dispatch(library, command, argc, args);
    stop_point();
    return result;
}

cu_value svc_CallKernelCommand(std::uint32_t command, std::uint32_t argc, const cu_value* args)
{
    stop_point();
    const cu_value result = dispatch(CU_LIB_OSTAL, command, argc, args);
    stop_point();
    return result;
}

std::uint64_t svc_ReadUnitProperty(std::uint32_t window, std::uint32_t unit, std::uint32_t property, std::int32_t)
{
    stop_point();
    const std::uint64_t result = read_property(window, unit, property);
    stop_point();
    return result;
}

void svc_WriteUnitProperty(std::uint32_t window, std::uint32_t unit, std::uint32_t property, std::int32_t,
                           std::uint64_t value, std::uint32_t)
{
    stop_point();
    write_property(window, unit, property, value);
    stop_point();
}

// Zero-filled (the program hands its library-object blocks over as freshly
// allocated and zeroed); never null.
void* svc_AllocateBlock(std::uint32_t size)
{
    stop_point();
    void* block = allocate_block(size);
    stop_point();
    return block;
}

void svc_Unused1C()
{
    stop_point();
    fatal("the program called service slot 0x1C, which the runtime does not provide");
}

void svc_FreeBlock(void* block)
{
    stop_point();
    free_block(block);
    stop_point();
}

// Ends at once, without running static destructors: a worker may still be
// inside image code.
void svc_EndProgram(std::int32_t code)
{
    stop_point();
    std::fflush(nullptr);
    _exit(code);
}

void svc_RunMessageLoop()
{
    stop_point();
    try {
        cu::window::run_message_loop();
    } catch (...) {
    }
    stop_point();
}

void svc_OpenStartWindow(std::uint32_t window)
{
    stop_point();
    try {
        cu::window::open_start_window(window);
        // Shown: what the window did not need is bound now, before a search.
        bind_late_libraries_soon();
    } catch (...) {
        fatal("the start window " + hex_text(window) + " could not be opened");
    }
    stop_point();
}

// Selector 3 names the routine the program hands over at start; the runtime
// keeps it and asks nothing of it. Other selectors are not used.
void svc_RegisterRoutine(std::uint32_t selector, std::uint64_t routine)
{
    stop_point();
    if (selector == 3) registered_routine = routine;
    stop_point();
}

template <typename F>
std::uint64_t entry(F* f)
{
    return reinterpret_cast<std::uint64_t>(f);
}

}  // namespace

const Program* loaded_program() { return current_program.load(); }
void set_loaded_program(const Program* p) { current_program = p; }

void fill_service_table(std::uint64_t* table)
{
    auto put = [&](std::uint32_t slot, std::uint64_t address) { table[slot * 2 / 8] = address; };
    put(CU_SLOT_ReportRuntimeError, entry(static_cast<cu_ReportRuntimeError_fn>(svc_ReportRuntimeError)));
    put(CU_SLOT_CallDllCommand, entry(static_cast<cu_CallDllCommand_fn>(svc_CallDllCommand)));
    put(CU_SLOT_CallLibraryCommand, entry(static_cast<cu_CallLibraryCommand_fn>(svc_CallLibraryCommand)));
    put(CU_SLOT_CallKernelCommand, entry(static_cast<cu_CallKernelCommand_fn>(svc_CallKernelCommand)));
    put(CU_SLOT_ReadUnitProperty, entry(static_cast<cu_ReadUnitProperty_fn>(svc_ReadUnitProperty)));
    put(CU_SLOT_WriteUnitProperty, entry(static_cast<cu_WriteUnitProperty_fn>(svc_WriteUnitProperty)));
    put(CU_SLOT_AllocateBlock, entry(static_cast<cu_AllocateBlock_fn>(svc_AllocateBlock)));
    put(CU_SLOT_Unused1C, entry(svc_Unused1C));
    put(CU_SLOT_FreeBlock, entry(static_cast<cu_FreeBlock_fn>(svc_FreeBlock)));
    put(CU_SLOT_EndProgram, entry(static_cast<cu_EndProgram_fn>(svc_EndProgram)));
    put(CU_SLOT_RunMessageLoop, entry(static_cast<cu_RunMessageLoop_fn>(svc_RunMessageLoop)));
    put(CU_SLOT_OpenStartWindow, entry(static_cast<cu_OpenStartWindow_fn>(svc_OpenStartWindow)));
    put(CU_SLOT_RegisterRoutine, entry(static_cast<cu_RegisterRoutine_fn>(svc_RegisterRoutine)));
}

}  // namespace cu::ostal
