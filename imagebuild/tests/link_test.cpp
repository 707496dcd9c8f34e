// The builder on objects of real compiled image code: what the format cannot
// hold is refused with the symbol and routine named; equal texts from
// different objects are stored once.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "build_image.h"
#include "bytes.h"
#include "dump.h"
#include "image.h"

namespace cu::imagebuild {
namespace {

std::string read_text(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::span<const std::uint8_t> bytes_of(const std::string& s) { return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()}; }

std::optional<BuiltImage> build(const std::string& object, std::string* error, const std::string& entry = "t_start")
{
    static const std::string layout = read_text(CUMULO_TEST_LAYOUT);
    static const std::string dlls = read_text(CUMULO_DLL_COMMANDS);
    const std::string bytes = read_text(std::string(CUMULO_TEST_OBJECTS) + "/" + object);
    EXPECT_FALSE(bytes.empty()) << object;
    return build_image({bytes_of(bytes), layout, dlls, entry}, error);
}

struct Refusal {
    const char* object;
    const char* reason;
};

const Refusal kRefusals[] = {
    {"pc_relative_global", "PC-relative reference to global Direct in routine t_start"},
    {"absolute_64", "relocation type 1 against t_start in routine t_start"},
    {"got_reference", "relocation type 42 against t_start in routine t_start"},
    {"address_table", "relocation inside constant data"},
    {"initialised_global", "initialised global data in section .data.Preset (Preset)"},
    {"thread_local", "thread-local data"},
    {"undefined_routine", "undefined symbol Missing in routine t_start"},
    {"unknown_unit", "the code names unit 0x16019999, which the layout does not hold"},
    {"undeclared_dll", "symbol __dll_7 in routine t_start names a DLL command the table does not declare"},
};

class RefusedObject : public testing::TestWithParam<Refusal> {};

TEST_P(RefusedObject, NamesTheFault)
{
    std::string error;
    const std::string object = std::string("imagebuild_tests_objects_") + GetParam().object + "_cpp.o";
    EXPECT_FALSE(build(object, &error));
    EXPECT_NE(error.find(GetParam().reason), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(Objects, RefusedObject, testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string(info.param.object); });

TEST(Link, StoresATextSharedByTwoObjectsOnce)
{
    std::string error;
    std::optional<BuiltImage> built = build("shared_text.merged.o", &error);
    ASSERT_TRUE(built) << error;
    std::optional<image::ImageView> v = image::read_image(built->image, "shared", &error);
    ASSERT_TRUE(v) << error;
    const std::string_view text = "shared text";
    const std::string_view pool(reinterpret_cast<const char*>(v->const_data.data()), v->const_data.size());
    const std::size_t first = pool.find(text);
    ASSERT_NE(first, std::string_view::npos);
    EXPECT_EQ(pool.find(text, first + 1), std::string_view::npos);
    // Both routines' kind-1 operands hold that one offset.
    std::size_t uses = 0;
    for (std::uint32_t r : v->relocations)
        if ((r & 7) == 1 && image::load_u32(v->code_data.data() + (r >> 3)) == first) ++uses;
    EXPECT_EQ(uses, 2u);
    EXPECT_NE(built->map.find("code 0x"), std::string::npos);
    EXPECT_NE(built->map.find(" TextB\n"), std::string::npos);
    EXPECT_NE(built->map.find(" __svc_WriteUnitProperty\n"), std::string::npos);
}

TEST(Link, RefusesAMissingStartRoutine)
{
    std::string error;
    EXPECT_FALSE(build("shared_text.merged.o", &error, "NoSuchStart"));
    EXPECT_NE(error.find("the start routine NoSuchStart is not a routine in the code"), std::string::npos) << error;
}

TEST(Link, RefusesAHostileObject)
{
    const std::string good = read_text(std::string(CUMULO_TEST_OBJECTS) + "/shared_text.merged.o");
    const std::string layout = read_text(CUMULO_TEST_LAYOUT);
    const std::string dlls = read_text(CUMULO_DLL_COMMANDS);
    // Every truncation, and the section table moved past the end.
    for (std::size_t length = 0; length < good.size(); length += 7) {
        const std::string cut = good.substr(0, length);
        std::string error;
        EXPECT_FALSE(build_image({bytes_of(cut), layout, dlls, "t_start"}, &error)) << length;
    }
    std::string moved = good;
    image::store_u32(reinterpret_cast<std::uint8_t*>(moved.data()) + 0x28, 0xFFFFFF00);
    std::string error;
    EXPECT_FALSE(build_image({bytes_of(moved), layout, dlls, "t_start"}, &error));
    EXPECT_NE(error.find("section headers run past the end"), std::string::npos) << error;
}

}  // namespace
}  // namespace cu::imagebuild

namespace cu::imagebuild {
namespace {

TEST(Dump, PrintsTheImageReadably)
{
    std::string error;
    std::optional<BuiltImage> built = build("shared_text.merged.o", &error);
    ASSERT_TRUE(built) << error;
    std::optional<std::string> text = dump_image(built->image, "shared.img", &error);
    ASSERT_TRUE(text) << error;
    for (const char* expected : {"image shared.img: 0x", "  5 sysbind  ", "  3 kernel32.dll   WideCharToMultiByte",
                                 "\"@reloc1\"       ", "relocations: ", "kind 0 service 1,",
                                 "\"@reloc1\" groups: unit 2, DLL-command 0, library 0, library-type 0",
                                 "    0x06010000 type 0x00010001 \"\" at 0,0 size 100x100 flags 0x1",
                                 "      caption \"测试\""})
        EXPECT_NE(text->find(expected), std::string::npos) << expected << "\n" << *text;

    built->image[0] = 1;
    EXPECT_FALSE(dump_image(built->image, "shared.img", &error));
    EXPECT_EQ(error, "image shared.img: reserved header word at 0x0 is not zero");
}

}  // namespace
}  // namespace cu::imagebuild
