// A script-object decode of a 50 KB answer as the program does it: a fresh
// object each time, "Language" set, the statement executed, "Run" called,
// the object released.
#include <cstdio>
#include <cstring>

#include "../command_harness.h"
#include "bench_answer.h"
#include "kernel_modules.h"

using namespace cu::test;

int main()
{
    std::string prepared = cu::bench::answer(460, true);
    for (std::size_t at = 0; (at = prepared.find("\\u", at)) != std::string::npos;) prepared.replace(at, 2, "%u");
    const std::string statement = "function xx(){var x='" + prepared + "';return unescape(x);}";
    const auto objects = cu::kernel::script_object_commands();
    std::size_t out = 0;
    auto decode = [&] {
        std::uint64_t block = 0;
        const cu_value o = object(&block, CU_LTYPE_OBJECT);
        call(objects, 0x91C, {o, text("ScriptControl"), omitted()});
        call(objects, 0x948, {o, text("Language"), text("JScript")});
        call(objects, 0x958, {o, text("ExecuteStatement"), text(statement.c_str())});
        out = take_text(call(objects, 0x954, {o, text("Run"), text("xx")})).size();
        call(objects, 0x924, {o});
    };
    const int runs = 100;
    const double us = cu::bench::median_us(runs, decode);
    std::printf("script-object decode of a %zu-byte answer (%zu bytes out), fresh object each time, median of %d runs\n",
                prepared.size(), out, runs);
    std::printf("  per decode      %8.1f us\n", us);
}
