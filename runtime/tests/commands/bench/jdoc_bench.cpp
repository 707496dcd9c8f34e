// jdoc: parse a 200-element answer and read every cell the way the search
// does (each lookup from the root: "list", element i, key; value; finalise),
// against raw RapidJSON doing the same lookups on the same text.
#include <rapidjson/document.h>

#include <cstdio>
#include <cstring>

#include "../command_harness.h"
#include "bench_answer.h"

using namespace cu::test;

namespace {

const char* const keys[] = {"name", "type", "size", "idAuk"};

std::size_t raw_rapidjson(const std::string& text)
{
    rapidjson::Document d;
    d.Parse<rapidjson::kParseIterativeFlag>(text.c_str());
    std::size_t bytes = 0;
    const rapidjson::SizeType n = d["list"].Size();
    for (rapidjson::SizeType i = 0; i < n; ++i)
        for (const char* key : keys) {
            const auto& v = d["list"][i][key];
            std::string cell(v.GetString(), v.GetStringLength());  // the program gets its own copy
            bytes += cell.size();
        }
    return bytes;
}

std::size_t through_jdoc(std::span<const cu_command> jdoc, const std::string& text)
{
    // Commands resolved once and called with records on the stack, as image code calls them.
    cu_command_fn fn[0x50] = {};
    for (const cu_command& c : jdoc) fn[c.number] = c.run;
    auto run = [&](std::uint32_t number, std::initializer_list<cu_value> args) {
        return fn[number](static_cast<std::uint32_t>(args.size()), args.begin());
    };
    auto finalise = [&](cu_value doc) {
        run(0x04, {doc});
        cu::free_block(reinterpret_cast<void*>(doc.value));
    };
    std::uint64_t root_block = 0;
    const cu_value root = object(&root_block, CU_LTYPE_DOCUMENT);
    run(0x00, {root});
    run(0x0C, {root, cu::test::text(text.c_str())});
    const cu_value list = run(0x30, {root, cu::test::text("list")});
    const std::int32_t n = as_int(run(0x3C, {list}));
    finalise(list);
    std::size_t bytes = 0;
    for (std::int32_t i = 0; i < n; ++i)
        for (const char* key : keys) {
            const cu_value l = run(0x30, {root, cu::test::text("list")});
            const cu_value e = run(0x4C, {l, integer(i)});
            const cu_value m = run(0x30, {e, cu::test::text(key)});
            const cu_value v = run(0x1C, {m});
            bytes += std::strlen(reinterpret_cast<char*>(v.value));
            cu::free_block(reinterpret_cast<void*>(v.value));
            finalise(m);
            finalise(e);
            finalise(l);
        }
    run(0x04, {root});
    return bytes;
}

double parse_only_us(std::span<const cu_command> jdoc, const std::string& text, bool raw)
{
    return cu::bench::median_us(300, [&] {
        if (raw) {
            rapidjson::Document d;
            d.Parse<rapidjson::kParseIterativeFlag>(text.c_str());
            return;
        }
        std::uint64_t block = 0;
        const cu_value doc[2] = {object(&block, CU_LTYPE_DOCUMENT), cu::test::text(text.c_str())};
        jdoc[0].run(1, doc);
        jdoc[2].run(2, doc);
        jdoc[1].run(1, doc);
    });
}

}  // namespace

int main()
{
    SupportLibrary jdoc("jdoc");
    const std::string text = cu::bench::answer(200, false);
    if (raw_rapidjson(text) != through_jdoc(jdoc.commands(), text)) {
        std::fprintf(stderr, "jdoc_bench: the two readings differ\n");
        return 1;
    }
    const int runs = 300;
    const double raw = cu::bench::median_us(runs, [&] { raw_rapidjson(text); });
    const double ours = cu::bench::median_us(runs, [&] { through_jdoc(jdoc.commands(), text); });
    std::printf("jdoc parse + 800 cell reads of a 200-element answer (%zu bytes), median of %d runs\n", text.size(), runs);
    std::printf("  raw RapidJSON   %8.1f us\n  jdoc commands   %8.1f us\n  ratio           %8.2fx\n", raw, ours, ours / raw);
    const double raw_parse = parse_only_us(jdoc.commands(), text, true);
    const double our_parse = parse_only_us(jdoc.commands(), text, false);
    std::printf("parse alone\n  raw RapidJSON   %8.1f us\n  jdoc commands   %8.1f us\n  ratio           %8.2fx\n", raw_parse,
                our_parse, our_parse / raw_parse);
}
