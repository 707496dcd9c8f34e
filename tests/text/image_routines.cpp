#include "image_routines.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

#include "cumulo_abi.h"
#include "test_entry.h"

namespace texttest {
namespace {

[[noreturn]] void give_up(const std::string& why)
{
    std::fprintf(stderr, "text routine tests: %s\n", why.c_str());
    std::exit(2);
}

struct LoadedImage {
    cu_loaded_for_test loaded{};
    std::map<std::string, std::uint64_t> routines;  // name -> code offset
    cu_FreeBlock_fn free_block = nullptr;
};

std::map<std::string, std::uint64_t> read_map(const char* path)
{
    std::ifstream in(path);
    if (!in) give_up(std::string("cannot read the map file ") + path);
    std::map<std::string, std::uint64_t> routines;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string section, offset, size, name;
        if (fields >> section >> offset >> size >> name && section == "code")
            routines[name] = std::strtoull(offset.c_str(), nullptr, 0);
    }
    return routines;
}

const LoadedImage& loaded_image()
{
    static const LoadedImage image = [] {
        LoadedImage result;
        std::ifstream file(CUMULO_TEST_IMAGE, std::ios::binary);
        if (!file) give_up("cannot read the image " CUMULO_TEST_IMAGE);
        // The runtime maps its own copy; this one may go once loaded.
        const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        void* kernel = dlopen(CUMULO_TEST_KERNEL, RTLD_NOW);
        if (!kernel) give_up(std::string("cannot load the kernel library: ") + dlerror());
        auto* load = reinterpret_cast<decltype(&cu_runtime_load_for_test)>(dlsym(kernel, "cu_runtime_load_for_test"));
        if (!load) give_up("the kernel library has no test entry");
        load(bytes.data(), bytes.size(), nullptr, &result.loaded);
        result.routines = read_map(CUMULO_TEST_MAP);
        result.free_block =
            reinterpret_cast<cu_FreeBlock_fn>(result.loaded.service_table[CU_SLOT_FreeBlock * 2 / 8]);
        return result;
    }();
    return image;
}

}  // namespace

void* routine_address(const char* name)
{
    const LoadedImage& image = loaded_image();
    const auto found = image.routines.find(name);
    if (found == image.routines.end()) give_up(std::string("no routine ") + name + " in the map file");
    return image.loaded.code_base + found->second;
}

Bytes array_block(const Bytes& bytes)
{
    Bytes block(8 + bytes.size());
    const std::uint32_t head[2] = {1, static_cast<std::uint32_t>(bytes.size())};
    std::memcpy(block.data(), head, 8);
    if (!bytes.empty()) std::memcpy(block.data() + 8, bytes.data(), bytes.size());
    return block;
}

std::string take_text(char* text)
{
    if (!text) return {};
    std::string copy(text);
    loaded_image().free_block(text);
    return copy;
}

Bytes take_bytes(std::uint8_t* block)
{
    if (!block) return {};
    std::uint32_t length;
    std::memcpy(&length, block + 4, 4);
    Bytes copy(block + 8, block + 8 + length);
    loaded_image().free_block(block);
    return copy;
}

std::string url_encode(const std::string& text, bool keep_plain, bool utf8)
{
    const char* variable = text.c_str();
    auto* encode = routine<char*(const char* const*, int32_t, int32_t, int32_t, int32_t)>("UrlEncodeText");
    return take_text(encode(&variable, keep_plain, 1, utf8, 1));
}

std::string gbk_to_utf8(const std::string& text)
{
    const char* variable = text.c_str();
    return take_text(routine<char*(const char* const*)>("GbkToUtf8")(&variable));
}

Bytes text_to_utf16(const std::string& text, int code_page)
{
    const char* variable = text.c_str();
    auto* convert = routine<std::uint8_t*(const char* const*, int32_t, int32_t)>("TextToUtf16");
    return take_bytes(convert(&variable, code_page, code_page >= 0));
}

std::string utf16_to_text(const Bytes& array_data, int code_page)
{
    Bytes block = array_block(array_data);
    const std::uint8_t* variable = block.data();
    auto* convert = routine<char*(const std::uint8_t* const*, int32_t, int32_t)>("Utf16ToText");
    return take_text(convert(&variable, code_page, code_page >= 0));
}

std::string decode_escaped(const std::string& text)
{
    const char* variable = text.c_str();
    return take_text(routine<char*(const char* const*)>("DecodeEscapedText")(&variable));
}

std::string percent_decode(const std::string& text)
{
    const char* variable = text.c_str();
    return take_text(routine<char*(const char* const*)>("PercentDecode")(&variable));
}

std::int64_t hex_to_number(const std::string& text)
{
    const char* variable = text.c_str();
    return routine<std::int64_t(const char* const*)>("HexTextToNumber")(&variable);
}

std::string unit_to_gbk(const Bytes& array_data)
{
    Bytes block = array_block(array_data);
    const std::uint8_t* variable = block.data();
    return take_text(routine<char*(const std::uint8_t* const*)>("UnitToGbkText")(&variable));
}

}  // namespace texttest
