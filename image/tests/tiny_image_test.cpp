// A tiny image of real compiled code, loaded the way the runtime loads one:
// mapped below 2 GiB, relocated against a service table of fakes, and run.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "image.h"
#include "cumulo_abi.h"
#include "test_images.h"

namespace cu::image::test {
namespace {

// What the fake services saw.
struct Calls {
    std::vector<std::string> log;
    std::vector<std::string> texts_written;
    std::uint64_t registered = 0;
    std::uint32_t library = 0, command = 0, argc = 0, object_tag = 0;
    std::uint32_t dll_index = 0;
    std::uint64_t dll_word = 0;
    std::uint64_t empty_text = 0, empty_array = 0;
};
Calls calls;

void* fake_allocate(std::uint32_t size)
{
    calls.log.push_back("AllocateBlock");
    return std::calloc(size, 1);
}
void fake_free(void* block)
{
    calls.log.push_back("FreeBlock");
    std::free(block);
}
void fake_write(std::uint32_t window, std::uint32_t unit, std::uint32_t property, std::int32_t index, std::uint64_t value,
                std::uint32_t)
{
    std::ostringstream s;
    s << std::hex << "WriteUnitProperty " << window << " " << unit << " " << property << " " << std::dec << index;
    calls.log.push_back(s.str());
    calls.texts_written.push_back(reinterpret_cast<const char*>(value));
}
cu_value fake_library(std::uint32_t library, std::uint32_t command, std::uint32_t argc, const cu_value* args)
{
    calls.log.push_back("CallLibraryCommand");
    calls.library = library, calls.command = command, calls.argc = argc;
    calls.empty_text = args[0].value;
    calls.empty_array = args[1].value;
    calls.object_tag = args[1].tag;
    return {};
}
std::uint64_t fake_dll(std::uint32_t index, std::uint32_t argc, const std::uint64_t* args)
{
    calls.log.push_back("CallDllCommand");
    calls.dll_index = index;
    calls.dll_word = argc == 1 ? args[0] : 0;
    return 0;
}
void fake_register(std::uint32_t selector, std::uint64_t routine)
{
    calls.log.push_back("RegisterRoutine " + std::to_string(selector));
    calls.registered = routine;
}

// Name -> offset in its section, from the builder's map file.
std::map<std::string, std::uint32_t> read_map(const std::string& path)
{
    std::map<std::string, std::uint32_t> offsets;
    std::ifstream in(path);
    std::string section, offset, size, name;
    while (in >> section >> offset >> size >> name) offsets[name] = static_cast<std::uint32_t>(std::stoul(offset, nullptr, 16));
    return offsets;
}

// One low mapping for the image, "var" and the service table.
class LowArena {
public:
    explicit LowArena(std::size_t size) : size_(size)
    {
        base_ = static_cast<std::uint8_t*>(
            mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0));
    }
    ~LowArena()
    {
        if (base_ != MAP_FAILED) munmap(base_, size_);
    }
    std::uint8_t* base() const { return base_ == MAP_FAILED ? nullptr : base_; }

private:
    std::size_t size_;
    std::uint8_t* base_;
};

TEST(TinyImage, RunsItsStartRoutineThroughTheStubs)
{
    const std::vector<std::uint8_t> file = read_file(CUMULO_TINY_IMAGE);
    std::string error;
    std::optional<ImageView> view = read_image(file, CUMULO_TINY_IMAGE, &error);
    ASSERT_TRUE(view) << error;
    const auto map = read_map(CUMULO_TINY_MAP);

    // Image at the arena's start (page-aligned), then var, then the table.
    const std::size_t page = 4096;
    const std::size_t image_pages = (view->bytes.size() + page - 1) / page * page;
    LowArena arena(image_pages + 2 * page);
    ASSERT_NE(arena.base(), nullptr);
    std::uint8_t* image = arena.base();
    std::uint8_t* var = image + image_pages;
    auto* table = reinterpret_cast<std::uint64_t*>(var + page);
    ASSERT_LT(reinterpret_cast<std::uintptr_t>(table) + page, 0x80000000u);
    std::memcpy(image, view->bytes.data(), view->bytes.size());

    const std::pair<std::uint32_t, void*> services[] = {
        {CU_SLOT_AllocateBlock, reinterpret_cast<void*>(&fake_allocate)},
        {CU_SLOT_FreeBlock, reinterpret_cast<void*>(&fake_free)},
        {CU_SLOT_WriteUnitProperty, reinterpret_cast<void*>(&fake_write)},
        {CU_SLOT_CallLibraryCommand, reinterpret_cast<void*>(&fake_library)},
        {CU_SLOT_CallDllCommand, reinterpret_cast<void*>(&fake_dll)},
        {CU_SLOT_RegisterRoutine, reinterpret_cast<void*>(&fake_register)},
    };
    Addresses a;
    a.const_base = reinterpret_cast<std::uintptr_t>(image + view->section(Section::Const).data_offset);
    a.code_base = reinterpret_cast<std::uintptr_t>(image + view->section(Section::Code).data_offset);
    a.var_base = reinterpret_cast<std::uintptr_t>(var);
    for (auto [slot, fn] : services) {
        table[slot * 2 / 8] = reinterpret_cast<std::uintptr_t>(fn);
        a.slot_address[slot / 4] = reinterpret_cast<std::uintptr_t>(&table[slot * 2 / 8]);
    }
    std::uint8_t* code = image + view->section(Section::Code).data_offset;
    ASSERT_TRUE(relocate(*view, code, a, {}, &error)) << error;
    ASSERT_EQ(mprotect(image, image_pages, PROT_READ | PROT_EXEC), 0);

    calls = {};
    auto start = reinterpret_cast<void (*)()>(image + view->start);
    start();

    const auto& counter = *reinterpret_cast<const std::int32_t*>(var + map.at("TinyCounter"));
    EXPECT_EQ(counter, 1);
    EXPECT_EQ(calls.texts_written, (std::vector<std::string>{"tiny text", "tiny text"}));
    EXPECT_EQ(calls.log, (std::vector<std::string>{"AllocateBlock", "WriteUnitProperty 52010001 16010105 8 -1", "FreeBlock",
                                                   "WriteUnitProperty 52010001 6010000 8 -1", "CallLibraryCommand",
                                                   "CallDllCommand", "RegisterRoutine 3"}));
    EXPECT_EQ(calls.library, 4u);
    EXPECT_EQ(calls.command, 0x12u);
    EXPECT_EQ(calls.argc, 2u);
    EXPECT_EQ(calls.object_tag, 0x40001u);
    EXPECT_EQ(calls.empty_text, a.const_base);           // the empty text at const offset 0
    EXPECT_EQ(calls.empty_array, a.const_base + 1);      // the empty-array constant
    EXPECT_EQ(std::memcmp(reinterpret_cast<void*>(calls.empty_array), "\1\0\0\0\0\0\0\0", 8), 0);
    EXPECT_EQ(calls.dll_index, 3u);
    EXPECT_EQ(calls.dll_word, 7u);
    EXPECT_EQ(*reinterpret_cast<const double*>(var + map.at("TinyScale")), 1.75);  // TinyHalf(3.0) through a const double
    ASSERT_EQ(calls.registered, a.code_base + map.at("TinyRegistered"));

    // The routine handed over by address (a kind-3 operand) runs too.
    reinterpret_cast<void (*)()>(calls.registered)();
    EXPECT_EQ(counter, 11);
}

}  // namespace
}  // namespace cu::image::test
