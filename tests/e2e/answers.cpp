#include "answers.h"

#include <array>

namespace e2e {
namespace {

struct SizeCase {
    const char* digits;
    const char* shown;
};

// Short sizes as the byte-size formatter writes them: three significant
// digits, truncated. 5368709120 is 5 GiB: a 32-bit count would wrap it to
// "1.00 GB". A size of 0 shows an empty cell.
constexpr std::array<SizeCase, 7> kSizes{{
    {"532", "532 bytes"},
    {"1336", "1.30 KB"},
    {"23456", "22.9 KB"},
    {"2391654", "2.28 MB"},
    {"0", ""},
    {"5368709120", "5.00 GB"},
    {"2394444595", "2.23 GB"},
}};

struct TypeCase {
    const char* word;
    const char* shown;
};

constexpr std::array<TypeCase, 4> kTypes{{
    {"file", "文件"},
    {"folder", "文件夹"},
    {"album", "相册"},
    {"video", "video"},  // not a type word: shown unchanged
}};

// A name suffix holding a type word, and how it shows after translation.
constexpr std::array<TypeCase, 4> kNameSuffixes{{
    {" file", " 文件"},
    {" album", " 相册"},
    {" folder", " 文件夹"},
    {"", ""},
}};

}  // namespace

Answer make_answer(int count)
{
    Answer answer;
    answer.body = "{\"total\":" + std::to_string(count) + ",\"list\":[";
    for (int i = 0; i < count; ++i) {
        const auto& size = kSizes[i % kSizes.size()];
        const auto& type = kTypes[i % kTypes.size()];
        const auto& suffix = kNameSuffixes[(i / 2) % kNameSuffixes.size()];
        const std::string number = std::to_string(i + 1);
        const std::string address = std::to_string(100000 + i) + "|" + std::to_string(7000 + i);
        if (i > 0) answer.body += ",";
        // 资源 as the service escapes it
        answer.body += "{\"name\":\"\\u8d44\\u6e90" + number + suffix.word + "\",\"type\":\"" + type.word +
                       "\",\"size\":\"" + size.digits + "\",\"idAuk\":\"" + address + "\",\"extra\":1}";
        answer.rows.push_back({number, "资源" + number + suffix.shown, type.shown, size.shown, address});
    }
    answer.body += "]}";
    return answer;
}

}  // namespace e2e
