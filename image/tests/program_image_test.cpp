// The program's own image, as the build produced it, through the reader and
// back through the writer unchanged.
#include <gtest/gtest.h>

#include "form.h"
#include "image.h"
#include "test_images.h"

namespace cu::image::test {
namespace {

TEST(ProgramImage, RoundTripsThroughReaderAndWriter)
{
    const std::vector<std::uint8_t> bytes = read_file(CUMULO_PROGRAM_IMAGE);
    ASSERT_FALSE(bytes.empty()) << "cannot read " CUMULO_PROGRAM_IMAGE;
    std::string error;
    std::optional<ImageView> view = read_image(bytes, CUMULO_PROGRAM_IMAGE, &error);
    ASSERT_TRUE(view) << error;
    EXPECT_EQ(write_image(parts_of(*view)), bytes);

    std::optional<Form> form = parse_form(view->form_data, &error);
    ASSERT_TRUE(form) << error;
    const std::vector<std::uint8_t> form_bytes(view->form_data.begin(), view->form_data.end());
    EXPECT_EQ(write_form(*form), form_bytes);
}

TEST(ProgramImage, HasTheFixedShape)
{
    const std::vector<std::uint8_t> bytes = read_file(CUMULO_PROGRAM_IMAGE);
    std::optional<ImageView> v = read_image(bytes, CUMULO_PROGRAM_IMAGE, nullptr);
    ASSERT_TRUE(v);
    ASSERT_EQ(v->dll_commands.size(), 7u);
    EXPECT_EQ(v->dll_commands[0].library_word, 0u);  // no library named
    EXPECT_EQ(v->const_text(v->dll_commands[0].function_word), "MultiByteToWideChar");
    // Equal texts are stored once and shared.
    EXPECT_EQ(v->dll_commands[1].function_word, v->dll_commands[3].function_word);
    EXPECT_EQ(v->dll_commands[1].library_word, v->dll_commands[4].library_word);
    EXPECT_EQ(v->const_text(v->dll_commands[6].library_word), "shlwapi.dll");

    const char* const names[] = {"ostal", "widgx", "netsup", "jdoc", "parlo", "sysbind"};
    ASSERT_EQ(v->libraries.size(), 6u);
    for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(v->libraries[i].short_name, names[i]);
    EXPECT_EQ(v->libraries[0].major, 5u);
    EXPECT_EQ(v->libraries[0].minor, 3u);

    EXPECT_EQ(v->help_data.size(), 56u);
    EXPECT_TRUE(std::all_of(v->help_data.begin(), v->help_data.end(), [](std::uint8_t b) { return b == 0; }));
    EXPECT_EQ(v->var_size, 4u);  // the worker handle
    EXPECT_EQ(v->const_data[0], 0);

    // The service stubs end the code, and their relocations end the table.
    std::size_t services = 0;
    while (services < v->relocations.size() && (v->relocations[v->relocations.size() - 1 - services] & 7) == 0) ++services;
    EXPECT_GE(services, 1u);
    const std::uint32_t first_stub = (v->relocations[v->relocations.size() - services] >> 3) - 3;
    EXPECT_EQ(v->code_data.size() - first_stub, 8 * services);
    for (std::size_t i = 0; i + services < v->relocations.size(); ++i) EXPECT_NE(v->relocations[i] & 7, 0u);
}

}  // namespace
}  // namespace cu::image::test
