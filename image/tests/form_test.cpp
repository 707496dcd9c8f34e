// The "form" records: written and parsed back unchanged, and damaged records
// refused with the unit and field named.
#include <gtest/gtest.h>

#include "bytes.h"
#include "form.h"
#include "test_images.h"

namespace cu::image::test {
namespace {

TEST(Form, WritesAndParsesBackTheSameModel)
{
    const Form form = sample_form();
    const std::vector<std::uint8_t> bytes = write_form(form);
    std::string error;
    std::optional<Form> parsed = parse_form(bytes, &error);
    ASSERT_TRUE(parsed) << error;
    // Parsing also keeps each block's stored bytes; the decoded parts match.
    for (Unit& u : parsed->windows[0].units) u.kind_bytes.clear();
    EXPECT_EQ(*parsed, form);
    EXPECT_EQ(write_form(*parsed), bytes);
}

TEST(Form, ComboBlockIsLaidOutAsStored)
{
    const std::vector<std::uint8_t> bytes = write_form(sample_form());
    const std::optional<Form> parsed = parse_form(bytes, nullptr);
    ASSERT_TRUE(parsed);
    const Unit& combo = parsed->windows[0].units[2];
    // 11 style words, value byte count and values, a word, u16 count, counted texts, 3 words.
    const std::vector<std::uint8_t> expected = [] {
        std::vector<std::uint8_t> b(44, 0);
        auto word = [&](std::uint32_t v) {
            b.resize(b.size() + 4);
            store_u32(b.data() + b.size() - 4, v);
        };
        word(8), word(0), word(7), word(0);
        b.push_back(2), b.push_back(0);
        word(1), b.push_back('a');
        word(1), b.push_back('b');
        word(0), word(0), word(0);
        return b;
    }();
    EXPECT_EQ(combo.kind_bytes, expected);
}

struct Damage {
    const char* name;
    std::size_t at;       // byte offset into the sample form; patched as a u32
    std::uint32_t value;
    const char* reason;
};

// Offsets in the sample form: table (12 bytes), window record head (24), ids
// and offsets (24), then the window unit's record.
constexpr std::size_t kHead = 12;
constexpr std::size_t kIds = kHead + 24;
constexpr std::size_t kRecords = kIds + 24;

const Damage kDamages[] = {
    {"window count", 0, 0x7FFFFFF8, "window count: count"},
    {"window record reserved", kHead + 8, 1, "window record reserved word: reserved word is not zero"},
    {"unit count", kHead + 16, 1000, "unit count: count 1000"},
    {"record length", kHead + 20, 0x10000, "window record: runs past the end"},
    {"unit listed twice", kIds + 4, 0x06010000, "unit 0x06010000: listed twice"},
    {"record offset", kIds + 12 + 4, 3, "not where the previous record ends"},
    {"unit record length", kRecords, 0xFFFF, "unit 0x06010000: record of 65535 bytes runs past"},
    {"reserved after type", kRecords + 8, 1, "reserved bytes after the type: reserved bytes are not zero"},
    {"child count", kRecords + 4 + 4 + 20 + 2 + 4 + 16 + 4 + 4, 0x10000000, "child count: count"},
};

class DamagedForm : public testing::TestWithParam<Damage> {};

TEST_P(DamagedForm, IsRefused)
{
    std::vector<std::uint8_t> bytes = write_form(sample_form());
    store_u32(bytes.data() + GetParam().at, GetParam().value);
    std::string error;
    EXPECT_FALSE(parse_form(bytes, &error));
    EXPECT_NE(error.find(GetParam().reason), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(Fields, DamagedForm, testing::ValuesIn(kDamages), [](const auto& info) {
    std::string name = info.param.name;
    for (char& c : name)
        if (c == ' ') c = '_';
    return name;
});

Form with_unit(Unit u)
{
    Form form;
    form.windows.push_back({0x52010001, 0, {}, {std::move(u)}});
    return form;
}

TEST(Form, RefusesBlocksThatDoNotDecodeExactly)
{
    Unit combo;
    combo.id = 1;
    combo.type = CU_LTYPE_COMBO;
    combo.combo.emplace().items = {{"x", 1}};
    std::vector<std::uint8_t> bytes = write_form(with_unit(combo));
    // The u16 item count no longer matches the one value.
    const std::size_t count_at = bytes.size() - 12 - 5 - 2;
    bytes[count_at] = 2;
    std::string error;
    EXPECT_FALSE(parse_form(bytes, &error));
    EXPECT_NE(error.find("2 items but 1 values"), std::string::npos) << error;

    // A label block with one byte too many.
    Unit label;
    label.id = 2;
    label.type = CU_LTYPE_LABEL;
    label.label.emplace();
    Form form = with_unit(label);
    form.windows[0].units[0].label.reset();
    form.windows[0].units[0].kind_bytes = write_form(with_unit(label));  // any bytes of the wrong length
    EXPECT_FALSE(parse_form(write_form(form), &error));
}

TEST(Form, RefusesEveryTruncationAndTrailingBytes)
{
    const std::vector<std::uint8_t> bytes = write_form(sample_form());
    for (std::size_t length = 0; length < bytes.size(); ++length) {
        const std::vector<std::uint8_t> cut(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length));
        EXPECT_FALSE(parse_form(cut, nullptr)) << length;
    }
    std::vector<std::uint8_t> longer = bytes;
    longer.push_back(0);
    std::string error;
    EXPECT_FALSE(parse_form(longer, &error));
    EXPECT_NE(error.find("bytes after the last window"), std::string::npos) << error;
}

TEST(Form, MenuItemWithoutHandlerStoresMinusOne)
{
    Unit menu;
    menu.id = 0x2601010C;
    menu.type = CU_LTYPE_MENU;
    menu.menu_hidden = true;
    menu.menu_caption = "r";
    const std::vector<std::uint8_t> bytes = write_form(with_unit(menu));
    // The handler word sits before the 16 reserved bytes at the record's end.
    EXPECT_EQ(load_u32(bytes.data() + bytes.size() - 20), 0xFFFFFFFFu);
    std::optional<Form> parsed = parse_form(bytes, nullptr);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->windows[0].units[0].menu_handler, kNoHandler);
    EXPECT_TRUE(parsed->windows[0].units[0].menu_hidden);
}

}  // namespace
}  // namespace cu::image::test
