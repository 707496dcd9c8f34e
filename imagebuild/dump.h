// `imagebuild --dump`: an image in readable form.
#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace cu::imagebuild {

// Validates first; on failure returns nothing and sets *error.
std::optional<std::string> dump_image(std::span<const std::uint8_t> bytes, const std::string& name, std::string* error);

}  // namespace cu::imagebuild
