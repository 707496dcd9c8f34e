// The sysbind library: the application interface. 0xE0 opens a web address
// (a GBK text) in the default browser; the result tells whether it did.
#include "gbk.h"
#include "guarded_command.h"
#include "library_ids.h"
#include "open_address.h"

namespace cu::sysbind {
namespace {

cu_value open_in_browser(const Args& a)
{
    const bool opened = open_address(gbk_to_utf8(a.text(0)));
    return {opened ? 1u : 0u, 0, CU_TAG_LOGICAL};
}

constexpr cu_command commands[] = {
    {0xE0, guarded<open_in_browser>},
};

constexpr cu_library descriptor = {
    "sysbind", CU_ID_SYSBIND, 3, 1, "application interface", commands,
    static_cast<std::uint32_t>(std::size(commands)),
};

}  // namespace
}  // namespace cu::sysbind

extern "C" __attribute__((visibility("default"))) const cu_library* cu_library_descriptor()
{
    return &cu::sysbind::descriptor;
}
