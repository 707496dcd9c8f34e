// The layout language: what it accepts and the line and reason of what it
// refuses.
#include <gtest/gtest.h>

#include "layout_file.h"

namespace cu::imagebuild {
namespace {

TEST(LayoutFile, ReadsUnitsStatementsAndTexts)
{
    const char* text =
        "form 0x52010001   # the window\n"
        "control 0x16010099 \"框\"\n"
        "  type 0x00030002\n"
        "  geometry -5 6 7 8\n"
        "  flags visible 0x10\n"
        "  tag \"a\\\"b\\\\c\"\n"
        "  child 0x16010001\n"
        "  pointer 1 2\n"
        "  block 0xFFFFFFFF -1\n"
        "  block-bytes 255\n"
        "  on 3 Handler\n"
        "menu 0x26010001\n"
        "  level 1\n"
        "  on chosen Chosen\n";
    std::string error;
    std::optional<Layout> layout = parse_layout(text, &error);
    ASSERT_TRUE(layout) << error;
    const image::Unit& u = layout->form.windows.at(0).units.at(0);
    EXPECT_EQ(u.type, 0x00030002u);
    EXPECT_EQ(u.name, "\xBF\xF2");  // GBK
    EXPECT_EQ(u.left, -5);
    EXPECT_EQ(u.flags, 0x11u);
    EXPECT_EQ(u.tag, "a\"b\\c");
    EXPECT_EQ(u.children, std::vector<std::uint32_t>{0x16010001});
    EXPECT_EQ(u.pointer, (std::vector<std::uint8_t>{1, 2}));
    EXPECT_EQ(u.kind_bytes, (std::vector<std::uint8_t>{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    ASSERT_EQ(layout->handlers.size(), 2u);
    EXPECT_EQ(layout->handlers[0].routine, "Handler");
    EXPECT_EQ(layout->handlers[1].event, std::nullopt);

    ASSERT_TRUE(bind_handlers(*layout, {{"Handler", 0x40}, {"Chosen", 0x80}}, &error)) << error;
    EXPECT_EQ(layout->form.windows[0].units[0].events[0].handler, 0x40u);
    EXPECT_EQ(layout->form.windows[0].units[1].menu_handler, 0x80);
    EXPECT_FALSE(bind_handlers(*layout, {{"Handler", 0x40}}, &error));
    EXPECT_EQ(error, "line 14: handler Chosen is not a routine in the code");
}

struct Refusal {
    const char* name;
    const char* text;
    const char* error;
};

const Refusal kRefusals[] = {
    {"empty", "# nothing\n", "the layout has no form"},
    {"unit before form", "label 1\n", "line 1: a unit before any form"},
    {"statement outside unit", "form 1\ngeometry 1 2 3 4\n", "line 2: \"geometry\" outside a unit"},
    {"unknown statement", "form 1\nlabel 2\n  colour 3\n", "line 3: \"colour\" does not apply to this kind of unit"},
    {"unterminated text", "form 1\nlabel 2\n  text \"abc\n", "line 3: unterminated text"},
    {"bad escape", "form 1\nlabel 2\n  text \"\\q\"\n", "line 3: unknown escape \\q"},
    {"bad number", "form 1\nlabel 2\n  geometry 1 2 x 4\n", "line 3: \"x\" is not a number"},
    {"number too large", "form 1\nlabel 2\n  geometry 1 2 3 0x80000000\n", "is not a number from -2147483648 to 2147483647"},
    {"geometry arity", "form 1\nlabel 2\n  geometry 1 2 3\n", "line 3: geometry takes 4 values"},
    {"style word count", "form 1\nbutton 2\n  style 1 0 1\n", "line 3: style of this kind takes 6 words, not 3"},
    {"text not quoted", "form 1\nlabel 2\n  text abc\n", "line 3: expected a quoted text, found abc"},
    {"not in GBK", "form 1\nlabel 2\n  text \"\xF0\x9F\x98\x80\"\n", "line 3: "},
    {"unit twice", "form 1\nlabel 2\nlabel 2\n", "line 3: unit 2 is given twice"},
    {"form twice", "form 1\nform 1\n", "line 2: form 1 is given twice"},
    {"control without type", "form 1\ncontrol 5\nlabel 6\n", "line 2: a control needs a type"},
    {"type on a known kind", "form 1\nlabel 2\n  type 3\n", "only a \"control\" takes a type"},
    {"control with a known type", "form 1\ncontrol 2\n  type 0x1000A\n", "written as \"label\""},
    {"raw block on a decoded kind", "form 1\nlabel 2\n  block 1\n", "written with style and its own statements"},
    {"menu event", "form 1\nmenu 2\n  on 0 Handler\n", "line 3: a menu item has only the \"chosen\" event"},
    {"menu handler twice", "form 1\nmenu 2\n  on chosen A\n  on chosen B\n", "line 4: a menu item has one handler"},
    {"menu level", "form 1\nmenu 2\n  level 2\n", "line 3: \"2\" is not a number from 0 to 1"},
    {"menu geometry", "form 1\nmenu 2\n  geometry 1 2 3 4\n", "line 3: \"geometry\" does not apply to a menu item"},
    {"handler quoted", "form 1\nbutton 2\n  on 0 \"Handler\"\n", "line 3: a handler is a routine name"},
};

class RefusedLayout : public testing::TestWithParam<Refusal> {};

TEST_P(RefusedLayout, SaysWhereAndWhy)
{
    std::string error;
    EXPECT_FALSE(parse_layout(GetParam().text, &error));
    EXPECT_NE(error.find(GetParam().error), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(Cases, RefusedLayout, testing::ValuesIn(kRefusals), [](const auto& info) {
    std::string name = info.param.name;
    for (char& c : name)
        if (c == ' ') c = '_';
    return name;
});

}  // namespace
}  // namespace cu::imagebuild
