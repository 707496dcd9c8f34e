// TextLength and CompareTexts (compiled as image code) against the C
// library's strlen and strcmp, on texts of 16 bytes to 64 KiB. Prints a
// Markdown table: nanoseconds per call and the ratio (ours / C library).
// Build and run: cmake --build <build> --target builtins_bench &&
// <build>/program/builtins/tests/builtins_bench
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "builtins.h"

namespace {

// Hides a pointer from the optimiser, so every call is made.
template <typename T>
T opaque(T v)
{
    asm volatile("" : "+r"(v));
    return v;
}

// Best of seven runs of about 5 ms each: short, and the best run is the one
// least disturbed by other work on a shared machine.
template <typename F>
double nanoseconds_per_call(F&& call)
{
    using clock = std::chrono::steady_clock;
    double best = 1e300;
    for (int run = 0; run < 7; ++run) {
        long calls = 0;
        long sink = 0;
        const auto begin = clock::now();
        auto now = begin;
        while (now - begin < std::chrono::milliseconds(5)) {
            for (int i = 0; i < 16; ++i) sink += call();
            calls += 16;
            now = clock::now();
        }
        opaque(sink);
        const double ns = std::chrono::duration<double, std::nano>(now - begin).count() / static_cast<double>(calls);
        if (ns < best) best = ns;
    }
    return best;
}

}  // namespace

int main()
{
    std::printf("| text | bytes | TextLength ns | strlen ns | ratio | CompareTexts ns | strcmp ns | ratio |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const bool gbk : {false, true})
    for (std::size_t size = 16; size <= 64 * 1024; size *= 4) {
        // Equal texts in separate blocks, so every byte is read. GBK lead
        // bytes (0x80 and above) make the word test fire on most words.
        std::string a(size, '\0'), b;
        for (std::size_t i = 0; i < size; ++i) a[i] = static_cast<char>(gbk && i % 3 == 0 ? 0xD6 : 'a' + i % 23);
        b = a;
        const double ours_len = nanoseconds_per_call([&] { return TextLength(opaque(a.c_str())); });
        const double libc_len = nanoseconds_per_call([&] { return static_cast<long>(std::strlen(opaque(a.c_str()))); });
        const double ours_cmp = nanoseconds_per_call([&] { return CompareTexts(opaque(a.c_str()), opaque(b.c_str())); });
        const double libc_cmp = nanoseconds_per_call([&] { return std::strcmp(opaque(a.c_str()), opaque(b.c_str())); });
        std::printf("| %s | %zu | %.1f | %.1f | %.2f | %.1f | %.1f | %.2f |\n", gbk ? "GBK" : "ASCII", size, ours_len, libc_len, ours_len / libc_len,
                    ours_cmp, libc_cmp, ours_cmp / libc_cmp);
    }
}
