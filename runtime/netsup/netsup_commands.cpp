// The netsup library: internet access. 0x1C fetches an address by HTTP GET
// and answers the body as a byte array, empty on any failure.
#include <span>

#include "guarded_command.h"
#include "http_fetch.h"
#include "library_ids.h"

namespace cu::netsup {
namespace {

cu_value get(const Args& a)
{
    const std::optional<std::string> body = http_get(a.text(0));
    const std::string_view bytes = body ? std::string_view(*body) : std::string_view();
    return bytes_result(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

constexpr cu_command commands[] = {
    {0x1C, guarded<get>},
};

constexpr cu_library descriptor = {
    "netsup", CU_ID_NETSUP, 2, 0, "internet access", commands, static_cast<std::uint32_t>(std::size(commands)),
};

}  // namespace
}  // namespace cu::netsup

extern "C" __attribute__((visibility("default"))) const cu_library* cu_library_descriptor()
{
    return &cu::netsup::descriptor;
}
