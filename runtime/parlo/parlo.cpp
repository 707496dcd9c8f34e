// The thread library: its commands map onto the runtime's workers.
#include "blocks.h"
#include "library_ids.h"
#include "values.h"
#include "worker.h"

namespace {

// 0x00: subroutine, omitted parameter, integer by reference. The handle is in
// the referenced integer before the worker starts. A subroutine outside the
// loaded image starts nothing.
cu_value start_thread(std::uint32_t argc, const cu_value* args)
{
    const cu::Args a{argc, args};
    const cu_value* routine = a.at(0);
    if (!routine || routine->tag != CU_TAG_SUBROUTINE || !cu::in_image(reinterpret_cast<const void*>(routine->value)))
        return cu::none_result();
    const cu_value* handle = a.at(2);
    auto* variable = handle && handle->tag == CU_TAG_INT ? reinterpret_cast<std::uint32_t*>(handle->value) : nullptr;
    cu::start_worker(routine->value, variable);
    return cu::none_result();
}

// 0x18: ends the worker at its next service or command call.
cu_value stop_thread(std::uint32_t argc, const cu_value* args)
{
    cu::stop_worker(static_cast<std::uint32_t>(cu::Args{argc, args}.integer(0)));
    return cu::none_result();
}

// 0x1C: on a worker this releases the worker's own handle, whatever the
// variable holds by now.
cu_value close_thread(std::uint32_t argc, const cu_value* args)
{
    cu::close_worker(static_cast<std::uint32_t>(cu::Args{argc, args}.integer(0)));
    return cu::none_result();
}

const cu_command commands[] = {{0x00, start_thread}, {0x18, stop_thread}, {0x1C, close_thread}};
const cu_library descriptor{"parlo", CU_ID_PARLO, 2, 0, "multithreading support library", commands,
                            sizeof commands / sizeof commands[0]};

}  // namespace

extern "C" __attribute__((visibility("default"))) const cu_library* cu_library_descriptor() { return &descriptor; }
