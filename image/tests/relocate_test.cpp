// The relocator: each kind once, stored order irrelevant to the result,
// renumbering through the callback, and nothing written when refused.
#include <gtest/gtest.h>

#include <algorithm>

#include "bytes.h"
#include "image.h"
#include "test_images.h"

namespace cu::image::test {
namespace {

Addresses low_addresses()
{
    Addresses a;
    a.const_base = 0x10000000;
    a.var_base = 0x20000000;
    a.code_base = 0x30000000;
    for (std::size_t i = 0; i < kServiceSlots; ++i) a.slot_address[i] = 0x40000000 + 8 * i;
    return a;
}

std::vector<std::uint8_t> relocated(const std::vector<std::uint8_t>& image, const Addresses& a, const Renumber& renumber = {})
{
    std::optional<ImageView> v = read_image(image, "sample", nullptr);
    std::vector<std::uint8_t> code(v->code_data.begin(), v->code_data.end());
    std::string error;
    EXPECT_TRUE(relocate(*v, code.data(), a, renumber, &error)) << error;
    return code;
}

std::uint32_t at(const std::vector<std::uint8_t>& code, std::uint32_t offset) { return load_u32(code.data() + offset); }

TEST(Relocate, AppliesEachKindOnce)
{
    const std::vector<std::uint8_t> code = relocated(sample_image(), low_addresses());
    EXPECT_EQ(at(code, kServiceOperand), 0x40000000u + 8 * (0x08 / 4));  // the slot for offset 0x08
    EXPECT_EQ(at(code, kConstOperand), 0x10000001u);
    EXPECT_EQ(at(code, kVarOperand), 0x20000000u);
    EXPECT_EQ(at(code, kCodeOperand), 0x30000020u);
    // Identity renumbering leaves the numbers as compiled.
    EXPECT_EQ(at(code, kUnitOperand), 0x52010001u);
    EXPECT_EQ(at(code, kDllOperand), 1u);
    EXPECT_EQ(at(code, kLibraryOperand), 1u);
    EXPECT_EQ(at(code, kTypeOperand), 0x10001u);
    EXPECT_EQ(at(code, 0x30), 0x90909090u);  // untouched bytes stay
}

TEST(Relocate, StoredOrderDoesNotChangeTheResult)
{
    ImageParts parts = sample_parts();
    std::vector<std::vector<std::uint8_t>> results;
    std::sort(parts.relocations.begin(), parts.relocations.end());
    do {
        results.push_back(relocated(write_image(parts), low_addresses()));
    } while (std::next_permutation(parts.relocations.begin(), parts.relocations.end()));
    ASSERT_EQ(results.size(), 24u);
    for (const auto& r : results) EXPECT_EQ(r, results.front());
}

TEST(Relocate, RenumbersEachGroupThroughTheCallback)
{
    std::vector<Group> seen;
    const std::vector<std::uint8_t> code = relocated(sample_image(), low_addresses(), [&](Group g, std::uint32_t n) {
        seen.push_back(g);
        return n + 0x100 * (static_cast<std::uint32_t>(g) + 1);
    });
    EXPECT_EQ(seen, (std::vector<Group>{Group::Unit, Group::Dll, Group::Library, Group::LibraryType}));
    EXPECT_EQ(at(code, kUnitOperand), 0x52010101u);
    EXPECT_EQ(at(code, kDllOperand), 0x201u);
    EXPECT_EQ(at(code, kLibraryOperand), 0x301u);
    EXPECT_EQ(at(code, kTypeOperand), 0x10401u);
}

struct Refusal {
    const char* name;
    void (*change)(Addresses&);
    const char* reason;
};

const Refusal kRefusals[] = {
    {"const above 2 GiB", [](Addresses& a) { a.const_base = 0x7FFFFFFF; }, "not below 2 GiB"},
    {"var above 2 GiB", [](Addresses& a) { a.var_base = 0x100000000; }, "not below 2 GiB"},
    {"code above 2 GiB", [](Addresses& a) { a.code_base = 0x7FFFFFE0; }, "yields address 0x80000000"},
    {"slot above 2 GiB", [](Addresses& a) { a.slot_address[2] = 0x80000000; }, "not below 2 GiB"},
    {"missing slot", [](Addresses& a) { a.slot_address[2] = 0; }, "no service at slot offset 0x8"},
};

class RefusedAddresses : public testing::TestWithParam<Refusal> {};

TEST_P(RefusedAddresses, LeaveTheCodeUntouched)
{
    const std::vector<std::uint8_t> image = sample_image();
    std::optional<ImageView> v = read_image(image, "sample.img", nullptr);
    const std::vector<std::uint8_t> stored(v->code_data.begin(), v->code_data.end());
    std::vector<std::uint8_t> code = stored;
    Addresses a = low_addresses();
    GetParam().change(a);
    std::string error;
    EXPECT_FALSE(relocate(*v, code.data(), a, {}, &error));
    EXPECT_EQ(error.rfind("image sample.img: ", 0), 0u) << error;
    EXPECT_NE(error.find(GetParam().reason), std::string::npos) << error;
    EXPECT_EQ(code, stored);
}

INSTANTIATE_TEST_SUITE_P(Addresses, RefusedAddresses, testing::ValuesIn(kRefusals), [](const auto& info) {
    std::string name = info.param.name;
    std::replace_if(name.begin(), name.end(), [](char c) { return !isalnum(static_cast<unsigned char>(c)); }, '_');
    return name;
});

}  // namespace
}  // namespace cu::image::test
