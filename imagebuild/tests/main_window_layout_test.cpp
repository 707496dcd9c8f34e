// The main window's layout file compiles into the records the window code
// expects: the twelve units in order, and records laid out byte for byte.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "bytes.h"
#include "layout_file.h"

namespace cu::imagebuild {
namespace {

// Hand-encoded record bytes, independent of the form writer.
struct Bytes {
    std::vector<std::uint8_t> b;
    Bytes& word(std::uint32_t v)
    {
        for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        return *this;
    }
    Bytes& words(std::initializer_list<std::uint32_t> vs)
    {
        for (std::uint32_t v : vs) word(v);
        return *this;
    }
    Bytes& zeros(std::size_t n) { return b.insert(b.end(), n, 0), *this; }
    Bytes& text(std::string_view s) { return b.insert(b.end(), s.begin(), s.end()), b.push_back(0), *this; }
    Bytes& counted(std::string_view s) { return word(static_cast<std::uint32_t>(s.size())), b.insert(b.end(), s.begin(), s.end()), *this; }
};

class MainWindowLayout : public testing::Test {
protected:
    void SetUp() override
    {
        std::ifstream in(CUMULO_MAIN_LAYOUT);
        const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        std::string error;
        std::optional<Layout> parsed = parse_layout(text, &error);
        ASSERT_TRUE(parsed) << error;
        // Distinct handler offsets, so each binding can be told apart.
        std::map<std::string, std::uint32_t> routines;
        std::uint32_t next = 0x100;
        for (const HandlerUse& h : parsed->handlers) routines.emplace(h.routine, next += 0x10);
        ASSERT_TRUE(bind_handlers(*parsed, routines, &error)) << error;
        layout = std::move(*parsed);
        handler = routines;
        bytes = image::write_form(layout.form);
    }

    // The stored record of unit i (its length word and the rest).
    std::vector<std::uint8_t> record(std::size_t i) const
    {
        const std::size_t count = layout.form.windows[0].units.size();
        const std::size_t ids = 12 + 24, first = ids + 8 * count;
        const std::size_t at = first + image::load_u32(bytes.data() + ids + 4 * count + 4 * i);
        const std::size_t length = image::load_u32(bytes.data() + at);
        return {bytes.begin() + static_cast<std::ptrdiff_t>(at), bytes.begin() + static_cast<std::ptrdiff_t>(at + 4 + length)};
    }

    static std::vector<std::uint8_t> with_length(const Bytes& rest)
    {
        Bytes r;
        r.word(static_cast<std::uint32_t>(rest.b.size()));
        r.b.insert(r.b.end(), rest.b.begin(), rest.b.end());
        return r.b;
    }

    Layout layout;
    std::map<std::string, std::uint32_t> handler;
    std::vector<std::uint8_t> bytes;
};

TEST_F(MainWindowLayout, ListsTheTwelveUnitsInOrder)
{
    ASSERT_EQ(layout.form.windows.size(), 1u);
    const image::FormWindow& w = layout.form.windows[0];
    EXPECT_EQ(w.id, 0x52010001u);
    struct Expected {
        std::uint32_t id, type;
        std::int32_t left, top, width, height;
        std::uint32_t flags;
    };
    const Expected expected[] = {
        {0x06010000, 0x00010001, 50, 50, 380, 215, 1}, {0x2601010C, 0x00010003, 0, 0, 0, 0, 0},
        {0x2601010D, 0x00010003, 0, 0, 0, 0, 0},       {0x26010112, 0x00010003, 0, 0, 0, 0, 0},
        {0x2601011B, 0x00010003, 0, 0, 0, 0, 0},       {0x16010105, 0x0001000A, 330, 5, 40, 20, 1},
        {0x16010014, 0x0001000A, 165, 5, 55, 20, 1},   {0x1601000F, 0x0001000E, 225, 5, 60, 20, 5},
        {0x16010009, 0x00020004, 5, 30, 365, 150, 5},  {0x16010008, 0x0001000B, 290, 5, 35, 20, 5},
        {0x16010003, 0x0001000A, 5, 5, 65, 20, 1},     {0x16010002, 0x00010005, 75, 5, 85, 20, 5},
    };
    ASSERT_EQ(w.units.size(), std::size(expected));
    for (std::size_t i = 0; i < w.units.size(); ++i) {
        const image::Unit& u = w.units[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(u.id, expected[i].id);
        EXPECT_EQ(u.type, expected[i].type);
        EXPECT_EQ((std::array{u.left, u.top, u.width, u.height}),
                  (std::array{expected[i].left, expected[i].top, expected[i].width, expected[i].height}));
        EXPECT_EQ(u.flags, expected[i].flags);
        if (!u.is_menu_item()) EXPECT_EQ(u.pointer, (std::vector<std::uint8_t>{0, 0, 0, 0}));
    }
    // Menu tree: a hidden root without handler, three visible sub-items.
    EXPECT_TRUE(w.units[1].menu_hidden);
    EXPECT_EQ(w.units[1].menu_level, 0u);
    EXPECT_EQ(w.units[1].menu_handler, image::kNoHandler);
    EXPECT_EQ(w.units[2].menu_handler, static_cast<std::int32_t>(handler.at("OpenShareAddress")));
    EXPECT_EQ(w.units[3].menu_handler, static_cast<std::int32_t>(handler.at("CopyShareAddress")));
    EXPECT_EQ(w.units[4].menu_handler, static_cast<std::int32_t>(handler.at("ShowAbout")));
    for (std::size_t i = 2; i <= 4; ++i) EXPECT_FALSE(w.units[i].menu_hidden);
    // Bindings: list right-click and button click only.
    EXPECT_TRUE(w.units[0].events.empty());
    EXPECT_EQ(w.units[8].events, (std::vector<image::EventBinding>{{5, handler.at("ShowListMenu")}}));
    EXPECT_EQ(w.units[9].events, (std::vector<image::EventBinding>{{0, handler.at("ToggleSearch")}}));
    for (std::size_t i : {5u, 6u, 7u, 10u, 11u}) EXPECT_TRUE(w.units[i].events.empty()) << i;
}

TEST_F(MainWindowLayout, ButtonRecordIsStoredByteForByte)
{
    Bytes rest;
    rest.word(0x0001000B).zeros(20).text("\xB0\xB4\xC5\xA5_\xCB\xD1\xCB\xF7").text("").word(0);  // 按钮_搜索
    rest.words({290, 5, 35, 20}).word(0).word(0).word(0);          // geometry, reserved, parent, no children
    rest.word(4).zeros(4).text("").word(0).word(5).word(0);         // pointer, tag, flags
    rest.word(1).words({0, handler.at("ToggleSearch")}).zeros(20);  // one binding
    rest.words({1, 0, 1, 1, 0, 0}).counted("\xCB\xD1\xCB\xF7");     // style, caption 搜索
    EXPECT_EQ(record(9), with_length(rest));
}

TEST_F(MainWindowLayout, MenuRootRecordIsStoredByteForByte)
{
    Bytes rest;
    rest.word(0x00010003).zeros(20).text("").text("").word(0);
    rest.word(0).word(1).text("\xD3\xD2\xBC\xFC").word(0xFFFFFFFF).zeros(16);  // level 0, hidden, 右键, no handler
    EXPECT_EQ(record(1), with_length(rest));
}

TEST_F(MainWindowLayout, KindBlocksHoldTheStyleAndContent)
{
    const image::FormWindow& w = layout.form.windows[0];
    // Window: 23 words, the caption counted, a zero word.
    Bytes window;
    window.words({6, 2, 1, 0xFF000000, 0, 1, 1, 1, 1, 0, 0, 1, 0, 0, 1}).zeros(32);
    window.counted("Cumulo\xD7\xCA\xD4\xB4\xCB\xD1\xCB\xF7").word(0);
    EXPECT_EQ(record(0).size(), 4 + 4 + 20 + 1 + 1 + 4 + 16 + 4 + 4 + 4 + 4 + 4 + 1 + 12 + 4 + 20 + window.b.size());
    const std::vector<std::uint8_t> r0 = record(0);
    EXPECT_TRUE(std::equal(window.b.begin(), window.b.end(), r0.end() - static_cast<std::ptrdiff_t>(window.b.size())));

    // The status label: red text colour and its own flag word, empty text.
    Bytes status;
    status.words({2, 0, 8, 0, 0x808080, 0xFFFFFF, 0x808080, 0x0000FF, 0xFF000000, 1, 0, 0x808080, 0xFFFFFF, 0x808080, 1, 1, 0, 0, 0});
    status.counted("").word(0).word(0);
    const std::vector<std::uint8_t> r5 = record(5);
    EXPECT_TRUE(std::equal(status.b.begin(), status.b.end(), r5.end() - static_cast<std::ptrdiff_t>(status.b.size())));
    EXPECT_EQ(w.units[6].label->text_colour(), 0u);

    // Edit box: 82 bytes, no text.
    EXPECT_EQ(w.units[11].kind_bytes.size(), 82u);

    // Combo: four values, four texts, "默认" first.
    ASSERT_EQ(w.units[7].combo->items.size(), 4u);
    for (std::int32_t i = 0; i < 4; ++i) EXPECT_EQ(w.units[7].combo->items[i].value, i);
    EXPECT_EQ(w.units[7].combo->items[0].text, "\xC4\xAC\xC8\xCF");

    // List: five columns, 106 bytes of column data, the last one 0 wide.
    const image::ListBlock& list = *w.units[8].list;
    ASSERT_EQ(list.columns.size(), 5u);
    const std::uint32_t widths[] = {45, 160, 70, 70, 0};
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(list.columns[i].width, widths[i]);
        EXPECT_EQ(list.columns[i].format, i == 0 ? 0u : 1u);
        EXPECT_EQ(list.columns[i].image, -1);
    }
    EXPECT_EQ(list.columns[0].title, "\xD0\xF2\xBA\xC5");  // 序号
    const std::vector<std::uint8_t> r8 = record(8);
    const std::size_t columns_at = r8.size() - 8 - 106 - 4;
    EXPECT_EQ(image::load_u32(r8.data() + columns_at), 106u);
    EXPECT_EQ(image::load_u32(r8.data() + columns_at - 4 * 5), 0xFFFFFFFFu);  // the -1 style word
}

// The window table and record head; with no window handlers bound, the
// section is 16 bytes shorter than with both bound.
TEST_F(MainWindowLayout, WindowTableAndSize)
{
    EXPECT_EQ(image::load_u32(bytes.data()), 8u);
    EXPECT_EQ(image::load_u32(bytes.data() + 4), 0x52010001u);
    EXPECT_EQ(image::load_u32(bytes.data() + 12 + 16), 12u);
    EXPECT_EQ(image::load_u32(bytes.data() + 12 + 20), bytes.size() - 12 - 24);
    std::optional<image::Form> parsed = image::parse_form(bytes, nullptr);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(image::write_form(*parsed), bytes);
}

}  // namespace
}  // namespace cu::imagebuild
