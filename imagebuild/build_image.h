// The whole build: merged object + layout + DLL table + library list ->
// image bytes and map text. The result is read back with the image reader
// before it is handed out, so a built image always validates.
#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace cu::imagebuild {

struct BuildInputs {
    std::span<const std::uint8_t> object;  // ld -r output
    std::string_view layout;               // layout file text
    std::string_view dll_table;            // DLL-command file text
    std::string entry;                     // start routine symbol
};

struct BuiltImage {
    std::vector<std::uint8_t> image;
    std::string map;  // "<section> <offset> <size> <name>" per line, hexadecimal, section-relative
};

// On failure *error says which input and why.
std::optional<BuiltImage> build_image(const BuildInputs& inputs, std::string* error);

}  // namespace cu::imagebuild
