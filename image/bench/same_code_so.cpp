// Writes the assembly of a shared object that holds the program image's code
// and constants byte for byte, with one dynamic relocation for every operand
// the image loader fixes up (the image's own offsets become load-address
// relocations, each service slot a symbol the dynamic loader must look up).
// Its load time is what the image loader is measured against.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "cumulo_abi.h"
#include "bytes.h"
#include "image.h"

namespace {

const char* service_name(std::uint32_t slot)
{
#define CU_SERVICE_NAME(name, offset) \
    if (slot == (offset)) return #name;
    CU_SERVICES(CU_SERVICE_NAME)
#undef CU_SERVICE_NAME
    return nullptr;
}

void bytes(std::FILE* out, const char* label, std::span<const std::uint8_t> data)
{
    std::fprintf(out, "%s:\n", label);
    for (std::size_t i = 0; i < data.size(); ++i)
        std::fprintf(out, "%s0x%02x%s", i % 16 == 0 ? "  .byte " : "", data[i], i % 16 == 15 || i + 1 == data.size() ? "\n" : ",");
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: same_code_so IMAGE OUTPUT.s\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    const std::vector<std::uint8_t> file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::string error;
    const std::optional<cu::image::ImageView> v = cu::image::read_image(file, argv[1], &error);
    if (!v) {
        std::fprintf(stderr, "same_code_so: %s\n", error.c_str());
        return 1;
    }
    std::FILE* out = std::fopen(argv[2], "w");
    if (!out) return 1;
    std::fprintf(out, "  .section .text.cumulo,\"ax\",@progbits\n  .globl cumulo_code\n");
    bytes(out, "cumulo_code", v->code_data);
    std::fprintf(out, "  .section .rodata.cumulo,\"a\",@progbits\n");
    bytes(out, "cumulo_const", v->const_data);
    std::fprintf(out, "  .bss\ncumulo_var:\n  .zero %u\n", v->var_size ? v->var_size : 1);
    std::fprintf(out, "  .section .data.rel.ro.cumulo,\"aw\",@progbits\n  .p2align 3\n  .globl cumulo_operands\ncumulo_operands:\n");
    for (std::uint32_t r : v->relocations) {
        const std::uint32_t stored = cu::image::load_u32(v->code_data.data() + (r >> 3));
        switch (r & 7) {
        case 0: std::fprintf(out, "  .quad __svc_%s\n", service_name(stored)); break;
        case 1: std::fprintf(out, "  .quad cumulo_const + %u\n", stored); break;
        case 2: std::fprintf(out, "  .quad cumulo_var + %u\n", stored); break;
        default: std::fprintf(out, "  .quad cumulo_code + %u\n", stored); break;
        }
    }
    for (const auto& group : v->groups)
        for (std::uint32_t operand : group) std::fprintf(out, "  .quad cumulo_code + %u\n", operand);
    std::fprintf(out, "  .section .note.GNU-stack,\"\",@progbits\n");
    return std::fclose(out) == 0 ? 0 : 1;
}
