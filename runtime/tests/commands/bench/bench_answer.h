// A search answer like the service's: {"list":[...]} with `count` elements
// whose names carry \u escapes (as the service writes them) or GBK bytes.
#pragma once
#include <algorithm>
#include <chrono>
#include <vector>
#include <string>

namespace cu::bench {

inline std::string answer(int count, bool escaped)
{
    std::string s = "{\"list\":[";
    for (int i = 0; i < count; ++i) {
        if (i) s += ',';
        const std::string name = escaped ? "\\u4e2d\\u6587\\u8d44\\u6599 " : "\xD6\xD0\xCE\xC4\xD7\xCA\xC1\xCF ";
        s += "{\"name\":\"" + name + "report-" + std::to_string(i) + ".pdf\",\"type\":\"file\",\"size\":\"" +
             std::to_string(1000 + i * 7919) + "\",\"idAuk\":\"" + std::to_string(400000 + i) + "_" +
             std::to_string(2000000000 + i) + "\"}";
    }
    return s + "]}";
}

// Median of `runs` timings of `f`, in microseconds.
template <typename F>
double median_us(int runs, F f)
{
    std::vector<double> t;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        f();
        t.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

}  // namespace cu::bench
