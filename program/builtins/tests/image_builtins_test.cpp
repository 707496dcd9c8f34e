// The builtins inside the real program image, loaded by the real kernel
// library and found by name through the builder's map file.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>

#include "cumulo_abi.h"
#include "test_entry.h"

namespace {

struct Image {
    cu_loaded_for_test loaded{};
    std::map<std::string, std::uint32_t> routines;
};

const Image& image()
{
    static const Image loaded = [] {
        Image result;
        std::ifstream file(PROGRAM_IMAGE, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        void* kernel = dlopen(KERNEL_LIBRARY, RTLD_NOW);
        if (!kernel) ADD_FAILURE() << dlerror();
        auto* load = reinterpret_cast<decltype(&cu_runtime_load_for_test)>(dlsym(kernel, "cu_runtime_load_for_test"));
        load(bytes.data(), bytes.size(), nullptr, &result.loaded);
        std::ifstream map(PROGRAM_MAP);
        for (std::string line; std::getline(map, line);) {
            std::istringstream fields(line);
            std::string section, offset, size, name;
            if (fields >> section >> offset >> size >> name && section == "code")
                result.routines[name] = static_cast<std::uint32_t>(std::stoul(offset, nullptr, 0));
        }
        return result;
    }();
    return loaded;
}

template <typename Fn>
Fn* routine(const std::string& name)
{
    const auto found = image().routines.find(name);
    if (found == image().routines.end()) {
        ADD_FAILURE() << "no routine " << name << " in the map file";
        return nullptr;
    }
    return reinterpret_cast<Fn*>(image().loaded.code_base + found->second);
}

template <typename Fn>
Fn service(std::uint32_t slot)
{
    return reinterpret_cast<Fn>(image().loaded.service_table[slot / 4]);
}

TEST(ImageBuiltins, TextLengthAtEveryAlignment)
{
    auto* length = routine<std::int32_t(const char*)>("TextLength");
    ASSERT_NE(length, nullptr);
    alignas(16) char buffer[64];
    for (int align = 0; align < 4; ++align)
        for (int n = 0; n < 40; ++n) {
            std::memset(buffer, '\xB5', sizeof buffer);
            buffer[align + n] = '\0';
            ASSERT_EQ(length(buffer + align), n) << "alignment " << align;
        }
    EXPECT_EQ(length(nullptr), 0);
}

TEST(ImageBuiltins, ConcatTextsMakesOneBlockThatFreeBlockTakes)
{
    auto* concat = routine<char*(std::int32_t, ...)>("ConcatTexts");
    ASSERT_NE(concat, nullptr);
    char* joined = concat(3, "a", nullptr, "b");
    EXPECT_STREQ(joined, "ab");
    service<cu_FreeBlock_fn>(CU_SLOT_FreeBlock)(joined);
}

TEST(ImageBuiltins, CompareTextsNullEmptyAndLeadBytes)
{
    auto* compare = routine<std::int32_t(const char*, const char*)>("CompareTexts");
    ASSERT_NE(compare, nullptr);
    EXPECT_EQ(compare(nullptr, ""), 0);
    EXPECT_EQ(compare(nullptr, "x"), -1);
    EXPECT_EQ(compare("x", nullptr), 1);
    EXPECT_EQ(compare("\xC4\xE3", "zz"), 1);
    EXPECT_EQ(compare("abcdefgh1", "abcdefgh2"), -1);
}

TEST(ImageBuiltins, FreeBlockLeavesTheImagesLiteralsAlone)
{
    auto free_block = service<cu_FreeBlock_fn>(CU_SLOT_FreeBlock);
    auto* empty = const_cast<std::uint8_t*>(image().loaded.const_base);
    free_block(empty);
    free_block(empty + 1);
    EXPECT_EQ(empty[0], 0);
}

}  // namespace
