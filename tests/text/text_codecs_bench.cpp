// Benchmark of the text codecs inside the built image: DecodeEscapedText on
// answers of growing size on both paths (the script engine, and PercentDecode
// forced by a lone line feed), and UrlEncodeText on growing keywords. Prints
// the time per call and per KiB, so linear growth shows as a flat per-KiB
// figure.
#include <chrono>
#include <cstdio>
#include <string>

#include "image_routines.h"

namespace {

using Clock = std::chrono::steady_clock;

// An answer like the share-search service's: escaped Chinese names.
std::string answer_of_size(std::size_t bytes)
{
    std::string answer = "{\"list\":[";
    for (unsigned i = 0; answer.size() < bytes; ++i) {
        if (i) answer += ',';
        answer += "{\"name\":\"\\u4e2d\\u6587\\u8d44\\u6599 " + std::to_string(i) +
                  " it's%20here.txt\",\"type\":\"file\",\"size\":\"" + std::to_string(1000 + i * 7) +
                  "\",\"idAuk\":\"" + std::to_string(i) + "|456\"}";
    }
    return answer + "]}";
}

// Chinese and ASCII mixed, as a keyword might be: 中文 and a word.
std::string keyword_of_size(std::size_t bytes)
{
    std::string keyword;
    while (keyword.size() < bytes) keyword += "\xD6\xD0\xCE\xC4 file-2.txt_";
    keyword.resize(bytes);
    return keyword;
}

template <typename Fn>
double best_seconds(int runs, Fn&& fn)
{
    double best = 1e9;
    for (int i = 0; i < runs; ++i) {
        const auto start = Clock::now();
        fn();
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        if (seconds < best) best = seconds;
    }
    return best;
}

void report(const char* what, std::size_t bytes, double seconds)
{
    std::printf("%-34s %9zu bytes %10.2f ms %9.3f ms/KiB\n", what, bytes, seconds * 1e3, seconds * 1e3 / (bytes / 1024.0));
}

}  // namespace

int main()
{
    using namespace texttest;
    for (std::size_t size : {50u * 1024, 250u * 1024, 1024u * 1024}) {
        const std::string answer = answer_of_size(size);
        const int runs = size > 100 * 1024 ? 3 : 10;
        std::size_t decoded_size = 0;
        const double script = best_seconds(runs, [&] { decoded_size = decode_escaped(answer).size(); });
        report("DecodeEscapedText, script path", answer.size(), script);
        const std::string forced = "{\n" + answer.substr(1);
        std::size_t fallback_size = 0;
        const double fallback = best_seconds(runs, [&] { fallback_size = decode_escaped(forced).size(); });
        report("DecodeEscapedText, PercentDecode", forced.size(), fallback);
        if (fallback_size != decoded_size + 1) std::printf("  (the two paths decoded to different sizes!)\n");
    }
    for (std::size_t size : {1024u, 16u * 1024, 256u * 1024}) {
        const std::string keyword = keyword_of_size(size);
        const double encode = best_seconds(5, [&] { url_encode(keyword, true, true); });
        report("UrlEncodeText (UTF-8, keep plain)", size, encode);
    }
}
