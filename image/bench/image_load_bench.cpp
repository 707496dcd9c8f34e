// Loading the program image (validate, map below 2 GiB, copy, relocate,
// protect) against dlopen of a shared object holding the same code with one
// dynamic relocation per fixed-up operand. Prints both figures.
#include <dlfcn.h>
#include <sys/mman.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "cumulo_abi.h"
#include "image.h"

// The services the shared object binds by name.
extern "C" {
#define CU_BENCH_SERVICE(name, offset) \
    __attribute__((visibility("default"), used)) void __svc_##name() {}
CU_SERVICES(CU_BENCH_SERVICE)
#undef CU_BENCH_SERVICE
}

namespace {

using Clock = std::chrono::steady_clock;

double median_us(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

std::size_t pages(std::size_t n) { return (n + 4095) / 4096 * 4096; }

// What the runtime's loader does with an image, minus binding libraries.
bool load_image(const std::vector<std::uint8_t>& file, std::string& error)
{
    const std::optional<cu::image::ImageView> v = cu::image::read_image(file, "cumulo.img", &error);
    if (!v) return false;
    const std::size_t table = 4096, image = pages(v->bytes.size()), var = pages(std::max<std::size_t>(v->var_size, 1));
    auto* base = static_cast<std::uint8_t*>(
        mmap(nullptr, table + image + var, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0));
    if (base == MAP_FAILED) return false;
    std::uint8_t* copy = base + table;
    std::memcpy(copy, v->bytes.data(), v->bytes.size());
    cu::image::Addresses a;
    a.const_base = reinterpret_cast<std::uintptr_t>(copy + v->section(cu::image::Section::Const).data_offset);
    a.code_base = reinterpret_cast<std::uintptr_t>(copy + v->section(cu::image::Section::Code).data_offset);
    a.var_base = reinterpret_cast<std::uintptr_t>(copy + image);
    for (std::size_t i = 0; i < cu::image::kServiceSlots; ++i) a.slot_address[i] = reinterpret_cast<std::uintptr_t>(base + 8 * i);
    const bool ok = cu::image::relocate(*v, reinterpret_cast<std::uint8_t*>(a.code_base), a, {}, &error) &&
                    mprotect(copy, image, PROT_READ | PROT_EXEC) == 0;
    munmap(base, table + image + var);
    return ok;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: image_load_bench IMAGE SHARED_OBJECT\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    const std::vector<std::uint8_t> file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    constexpr int kRounds = 2000;
    std::vector<double> image_us, dlopen_us;
    std::string error;
    for (int i = 0; i < kRounds; ++i) {
        // The image is read from the file once, as the launcher embeds it;
        // dlopen reads its file each time, as a launcher would.
        auto t0 = Clock::now();
        if (!load_image(file, error)) {
            std::fprintf(stderr, "image load failed: %s\n", error.c_str());
            return 1;
        }
        auto t1 = Clock::now();
        void* handle = dlopen(argv[2], RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            std::fprintf(stderr, "dlopen failed: %s\n", dlerror());
            return 1;
        }
        dlclose(handle);
        auto t2 = Clock::now();
        image_us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        dlopen_us.push_back(std::chrono::duration<double, std::micro>(t2 - t1).count());
    }
    const std::optional<cu::image::ImageView> v = cu::image::read_image(file, argv[1], &error);
    std::printf("program image: %zu bytes, %zu relocations, %zu renumberable operands\n", v->bytes.size(),
                v->relocations.size(), v->groups[0].size() + v->groups[1].size() + v->groups[2].size() + v->groups[3].size());
    std::printf("validate + map + relocate + protect the image: median %.1f us\n", median_us(image_us));
    std::printf("dlopen + dlclose of the same code as a shared object: median %.1f us\n", median_us(dlopen_us));
    return 0;
}
