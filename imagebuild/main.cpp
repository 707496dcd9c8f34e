// imagebuild: links the merged object of the image code with the window
// layout and the DLL-command table into a program image and its map file;
// `imagebuild --dump FILE` prints an image readably.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "build_image.h"
#include "dump.h"

namespace {

const char kUsage[] =
    "usage: imagebuild --object MERGED.o --layout FILE.layout --dll-commands FILE --entry SYMBOL\n"
    "                  --output IMAGE --map MAP\n"
    "       imagebuild --dump IMAGE\n";

bool read_file(const std::string& path, std::string& out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

bool write_file(const std::string& path, const void* data, std::size_t size)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    return static_cast<bool>(out.flush());
}

int fail(const std::string& message)
{
    std::fprintf(stderr, "imagebuild: %s\n", message.c_str());
    return 1;
}

std::span<const std::uint8_t> bytes_of(const std::string& s)
{
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

int dump(const std::string& path)
{
    std::string bytes, error;
    if (!read_file(path, bytes)) return fail("cannot read " + path);
    std::optional<std::string> text = cu::imagebuild::dump_image(bytes_of(bytes), path, &error);
    if (!text) return fail(error);
    std::fputs(text->c_str(), stdout);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string object, layout, dlls, entry, output, map;
    const struct {
        const char* option;
        std::string* value;
    } options[] = {{"--object", &object}, {"--layout", &layout}, {"--dll-commands", &dlls},
                   {"--entry", &entry},   {"--output", &output}, {"--map", &map}};
    if (argc == 3 && std::strcmp(argv[1], "--dump") == 0) return dump(argv[2]);
    for (int i = 1; i < argc; ++i) {
        bool known = false;
        for (const auto& o : options) {
            if (std::strcmp(argv[i], o.option) == 0 && i + 1 < argc) {
                *o.value = argv[++i];
                known = true;
            }
        }
        if (!known) return std::fputs(kUsage, stderr), 2;
    }
    for (const auto& o : options)
        if (o.value->empty()) return std::fputs(kUsage, stderr), 2;

    std::string object_bytes, layout_text, dll_text;
    if (!read_file(object, object_bytes)) return fail("cannot read " + object);
    if (!read_file(layout, layout_text)) return fail("cannot read " + layout);
    if (!read_file(dlls, dll_text)) return fail("cannot read " + dlls);
    std::string error;
    std::optional<cu::imagebuild::BuiltImage> built;
    try {
        built = cu::imagebuild::build_image({bytes_of(object_bytes), layout_text, dll_text, entry}, &error);
    } catch (const std::length_error& e) {
        return fail(e.what());
    }
    if (!built) return fail(error);
    if (!write_file(output, built->image.data(), built->image.size())) return fail("cannot write " + output);
    if (!write_file(map, built->map.data(), built->map.size())) return fail("cannot write " + map);
    return 0;
}
