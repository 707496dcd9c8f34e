// jdoc: parse a 200-element answer and read every cell the way the search
// does (each lookup from the root: "list", element i, key; value; finalise),
// against raw RapidJSON doing the same lookups on the same text.
#include <rapidjson/document.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

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

void parse_only(std::span<const cu_command> jdoc, const std::string& text, bool raw)
{
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
}

double microseconds_of(const std::function<void()>& f)
{
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
}

struct Timings {
    std::vector<double> raw, ours;

    static double median(std::vector<double> t)
    {
        std::sort(t.begin(), t.end());
        return t[t.size() / 2];
    }
    static double fastest(const std::vector<double>& t) { return *std::min_element(t.begin(), t.end()); }
    void print() const
    {
        std::printf("                  median     fastest\n");
        std::printf("  raw RapidJSON   %8.1f us %8.1f us\n", median(raw), fastest(raw));
        std::printf("  jdoc commands   %8.1f us %8.1f us\n", median(ours), fastest(ours));
        std::printf("  ratio           %8.2fx   %8.2fx\n", median(ours) / median(raw), fastest(ours) / fastest(raw));
    }
};

// `runs` rounds of both, the one going first changing every round.
Timings alternating(int runs, const std::function<void()>& raw, const std::function<void()>& ours)
{
    Timings t;
    for (int i = 0; i < runs; ++i) {
        if (i % 2) t.raw.push_back(microseconds_of(raw));
        t.ours.push_back(microseconds_of(ours));
        if (i % 2 == 0) t.raw.push_back(microseconds_of(raw));
    }
    return t;
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
    // Alternating rounds, so that load from other work on the machine falls on both alike.
    const int runs = 300;
    const Timings cells = alternating(runs, [&] { raw_rapidjson(text); }, [&] { through_jdoc(jdoc.commands(), text); });
    std::printf("jdoc parse + 800 cell reads of a 200-element answer (%zu bytes), %d alternating runs\n", text.size(),
                runs);
    cells.print();
    std::printf("parse alone\n");
    alternating(runs, [&] { parse_only(jdoc.commands(), text, true); }, [&] { parse_only(jdoc.commands(), text, false); })
        .print();
}
