// Fuzz entry over the image reader, validator and relocator, and the form
// parser. Whatever the reader accepts must write back to the same bytes and
// relocate without touching memory outside the code copy.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "form.h"
#include "image.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace cu::image;
    const std::span<const std::uint8_t> bytes(data, size);
    std::string error;

    if (!parse_form(bytes, &error) && error.empty()) std::abort();

    error.clear();
    const std::optional<ImageView> view = read_image(bytes, "fuzz input", &error);
    if (!view) {
        if (error.empty()) std::abort();  // every refusal says why
        return 0;
    }
    const std::vector<std::uint8_t> rewritten = write_image(parts_of(*view));
    if (rewritten.size() != view->bytes.size() || !std::equal(rewritten.begin(), rewritten.end(), view->bytes.begin()))
        std::abort();

    std::vector<std::uint8_t> code(view->code_data.begin(), view->code_data.end());
    Addresses low;
    low.const_base = 0x10000000;
    low.var_base = 0x20000000;
    low.code_base = 0x30000000;
    for (std::size_t i = 0; i < kServiceSlots; ++i) low.slot_address[i] = 0x40000000 + 8 * i;
    relocate(*view, code.data(), low, [](Group g, std::uint32_t n) { return n ^ static_cast<std::uint32_t>(g); }, &error);
    return 0;
}
