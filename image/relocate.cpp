// Fixes up the code once it has a place. Each operand's final value is
// computed from the stored (never yet relocated) value and checked first;
// only when all are sound are they written, in stored order.
#include <cstdio>

#include "bytes.h"
#include "image.h"

namespace cu::image {
namespace {

constexpr std::uint64_t kLowLimit = 0x80000000ull;  // absolute operands are sign-extended

std::string hex(std::uint64_t v)
{
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "0x%llX", static_cast<unsigned long long>(v));
    return buffer;
}

struct Write {
    std::uint32_t operand;
    std::uint32_t value;
};

}  // namespace

bool relocate(const ImageView& view, std::uint8_t* code_copy, const Addresses& addresses, const Renumber& renumber,
              std::string* error)
{
    auto fail = [&](const std::string& reason) {
        if (error) *error = "image " + view.name + ": " + reason;
        return false;
    };
    std::vector<Write> writes;
    writes.reserve(view.relocations.size());
    for (std::uint32_t entry : view.relocations) {
        const std::uint32_t operand = entry >> 3;
        const std::uint32_t stored = load_u32(view.code_data.data() + operand);
        std::uint64_t address = 0;
        switch (static_cast<RelocationKind>(entry & 7)) {
        case RelocationKind::Service:
            address = addresses.slot_address[stored / 4];
            if (address == 0) return fail("the runtime has no service at slot offset " + hex(stored));
            break;
        case RelocationKind::Const: address = addresses.const_base + stored; break;
        case RelocationKind::Var: address = addresses.var_base + stored; break;
        case RelocationKind::Code: address = addresses.code_base + stored; break;
        default: return fail("relocation " + hex(entry) + " has an unknown kind");  // read_image refuses these
        }
        if (address >= kLowLimit)
            return fail("relocation " + hex(entry) + " yields address " + hex(address) + ", not below 2 GiB");
        writes.push_back({operand, static_cast<std::uint32_t>(address)});
    }
    for (std::size_t g = 0; g < kGroupCount; ++g) {
        for (std::uint32_t operand : view.groups[g]) {
            const std::uint32_t stored = load_u32(view.code_data.data() + operand);
            writes.push_back({operand, renumber ? renumber(static_cast<Group>(g), stored) : stored});
        }
    }
    for (const Write& w : writes) store_u32(code_copy + w.operand, w.value);
    return true;
}

}  // namespace cu::image
