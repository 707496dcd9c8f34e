// Images for the format tests: a small hand-made image whose every operand
// sits at a known place, and the files the build produces.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "form.h"
#include "image.h"

namespace cu::image::test {

// Code operands of the sample image (code-relative) and what they store.
inline constexpr std::uint32_t kServiceOperand = 0x00;  // kind 0, slot offset 0x08
inline constexpr std::uint32_t kConstOperand = 0x08;    // kind 1, const offset 1
inline constexpr std::uint32_t kVarOperand = 0x10;      // kind 2, var offset 0
inline constexpr std::uint32_t kCodeOperand = 0x18;     // kind 3, code offset 0x20
inline constexpr std::uint32_t kUnitOperand = 0x20;     // group 0: 0x52010001
inline constexpr std::uint32_t kDllOperand = 0x24;      // group 1: 1
inline constexpr std::uint32_t kLibraryOperand = 0x28;  // group 2: 1
inline constexpr std::uint32_t kTypeOperand = 0x2C;     // group 3: 0x10001
inline constexpr std::uint32_t kSampleCodeSize = 0x40;

Form sample_form();
ImageParts sample_parts();
std::vector<std::uint8_t> sample_image();

std::vector<std::uint8_t> read_file(const std::string& path);

}  // namespace cu::image::test
