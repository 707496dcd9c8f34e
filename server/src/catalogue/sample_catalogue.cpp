#include "catalogue/sample_catalogue.h"

#include <algorithm>
#include <array>
#include <bit>
#include <string>
#include <string_view>

namespace cumulo::server {

namespace {

// splitmix64: small, fast and fully specified, unlike the standard distributions.
class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}

    std::uint64_t next()
    {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::uint64_t below(std::uint64_t bound) { return next() % bound; }
    template <typename List>
    std::string_view pick(const List& list) { return list[below(list.size())]; }
    // A size from low to high, spread evenly over the orders of magnitude between them.
    std::uint64_t log_uniform(std::uint64_t low, std::uint64_t high)
    {
        int low_bits = std::bit_width(low) - 1;
        int high_bits = std::bit_width(high) - 1;
        int bits = low_bits + static_cast<int>(below(static_cast<std::uint64_t>(high_bits - low_bits + 1)));
        std::uint64_t from = std::max<std::uint64_t>(1ull << bits, low);
        std::uint64_t to = std::min<std::uint64_t>((2ull << bits) - 1, high);
        return from + below(to - from + 1);
    }

private:
    std::uint64_t state_;
};

constexpr std::array<std::string_view, 24> subjects = {
    "考研英语", "高等数学", "大学物理", "线性代数", "雅思口语", "托福听力", "会计实务", "公务员考试",
    "Python编程", "Java开发", "机器学习", "平面设计", "摄影入门", "吉他教程", "钢琴曲谱", "日语N2",
    "中医养生", "家常菜谱", "健身训练", "心理学", "经济学原理", "古典文学", "儿童故事", "历史纪录片"};
constexpr std::array<std::string_view, 12> materials = {
    "真题", "讲义", "视频课程", "笔记", "习题集", "全套资料", "电子书", "模拟题", "精讲", "题库", "课件", "音频"};
constexpr std::array<std::string_view, 16> shows = {
    "三体", "西游记", "红楼梦", "甄嬛传", "琅琊榜", "大明王朝", "天龙八部", "笑傲江湖",
    "流浪地球", "让子弹飞", "霸王别姬", "我的团长我的团", "人民的名义", "觉醒年代", "山海情", "繁花"};
constexpr std::array<std::string_view, 6> qualities = {"高清", "1080P", "4K", "蓝光", "超清", "国语中字"};
constexpr std::array<std::string_view, 14> places = {
    "云南", "西藏", "厦门", "成都", "杭州", "青岛", "桂林", "张家界", "Tokyo", "Paris", "Iceland", "Bali",
    "New York", "Kyoto"};
constexpr std::array<std::string_view, 8> occasions = {
    "婚礼", "毕业", "宝宝周岁", "生日聚会", "年会", "春节", "同学聚会", "家庭"};
constexpr std::array<std::string_view, 24> english_adjectives = {
    "Silent", "Lost", "Golden", "Hidden", "Broken", "Endless", "Crimson", "Wild",
    "Frozen", "Last", "Secret", "Midnight", "Northern", "Ancient", "Electric", "Quiet",
    "Brave", "Distant", "Falling", "Burning", "Little", "Great", "Dark", "Summer"};
constexpr std::array<std::string_view, 24> english_nouns = {
    "River", "Kingdom", "Garden", "Empire", "Journey", "Ocean", "Forest", "City",
    "Dream", "Mountain", "Road", "Island", "Letters", "Harbor", "Winter", "Stars",
    "Frontier", "Symphony", "Voyage", "Horizon", "Machine", "Valley", "Shadow", "Light"};
constexpr std::array<std::string_view, 12> english_topics = {
    "Linux", "Calculus", "Photography", "Data Science", "Guitar", "Cooking", "Chess", "Physics",
    "Spanish", "Algorithms", "Watercolor", "Economics"};
constexpr std::array<std::string_view, 10> file_extensions = {
    ".pdf", ".mp4", ".mkv", ".zip", ".rar", ".epub", ".mp3", ".flac", ".docx", ".iso"};
// Names that exercise escaping and the client's word replacement: quotes, backslashes,
// apostrophes, tabs, the type words themselves and characters beyond the Basic Multilingual Plane.
constexpr std::array<std::string_view, 12> unusual_names = {
    "Say \"Hello\" Live 演唱会.mp3",
    "D:\\备份\\照片\\2015",
    "Director's Cut 导演剪辑版.mkv",
    "notes\tdraft 笔记.txt",
    "my file list 文件清单.xlsx",
    "Best album ever 精选专辑",
    "folder backup 文件夹备份",
    "🎬 电影收藏 Movie Collection",
    "𠮷野家菜单 menu.jpg",
    "\"引号\" & <尖括号> 测试.txt",
    "O'Brien's \"Field\" Notes\\2019.pdf",
    "album of the year – 年度专辑 🎵"};

std::string year_of(Random& random)
{
    return std::to_string(1998 + random.below(27));
}

std::string file_name(Random& random)
{
    switch (random.below(5)) {
    case 0: return year_of(random) + "年" + std::string(random.pick(subjects)) + std::string(random.pick(materials))
                   + std::string(random.pick(file_extensions));
    case 1: return random.below(2) == 0
                       ? std::string(random.pick(shows)) + "第" + std::to_string(1 + random.below(60)) + "集 "
                             + std::string(random.pick(qualities)) + ".mp4"
                       : std::string(random.pick(shows)) + " 电影版 " + std::string(random.pick(qualities)) + ".mkv";
    case 2: return "The " + std::string(random.pick(english_adjectives)) + " " + std::string(random.pick(english_nouns))
                   + " (" + year_of(random) + ") " + std::string(random.pick(qualities)) + ".mkv";
    case 3: return std::string(random.pick(english_topics)) + " Lecture " + std::to_string(1 + random.below(40))
                   + std::string(random.pick(file_extensions));
    default: return std::string(random.pick(subjects)) + "_" + std::string(random.pick(materials)) + "_v"
                    + std::to_string(1 + random.below(9)) + std::string(random.pick(file_extensions));
    }
}

std::string folder_name(Random& random)
{
    switch (random.below(5)) {
    case 0: return std::string(random.pick(subjects)) + std::string(random.pick(materials)) + "合集";
    case 1: return "【" + std::string(random.pick(qualities)) + "】" + std::string(random.pick(shows)) + " 全"
                   + std::to_string(20 + random.below(60)) + "集";
    case 2: return std::string(random.pick(english_topics)) + " Course Materials " + year_of(random);
    case 3: return year_of(random) + "年经典电影合集 " + std::string(random.pick(qualities));
    default: return year_of(random) + "年" + std::string(random.pick(subjects)) + "全套资料";
    }
}

std::string album_name(Random& random)
{
    switch (random.below(3)) {
    case 0: return year_of(random) + std::string(random.pick(places)) + "旅行照片";
    case 1: return std::string(random.pick(occasions)) + "相册 " + year_of(random);
    default: return std::string(random.pick(places)) + " Trip " + year_of(random);
    }
}

std::string fixed_base62(std::uint64_t value, int width)
{
    static constexpr std::string_view digits = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    std::string out(static_cast<std::size_t>(width), '0');
    for (int i = width - 1; i >= 0; --i, value /= 62)
        out[static_cast<std::size_t>(i)] = digits[value % 62];
    return out;
}

constexpr std::uint64_t kilobyte = 1ull << 10;
constexpr std::uint64_t megabyte = 1ull << 20;
constexpr std::uint64_t gigabyte = 1ull << 30;

struct SizeRange {
    std::string_view extension;
    std::uint64_t low;
    std::uint64_t high;
};

// What a file of each kind weighs in real shares: an episode hundreds of MB, a film or a disc
// image gigabytes, a document tens of KB to tens of MB, a text file bytes to KB.
constexpr std::array<SizeRange, 14> file_sizes = {{
    {".mkv", 700 * megabyte, 12 * gigabyte},
    {".mp4", 150 * megabyte, 1536 * megabyte},
    {".iso", 600 * megabyte, 8 * gigabyte},
    {".zip", 5 * megabyte, 4 * gigabyte},
    {".rar", 5 * megabyte, 4 * gigabyte},
    {".pdf", 60 * kilobyte, 80 * megabyte},
    {".epub", 300 * kilobyte, 25 * megabyte},
    {".docx", 20 * kilobyte, 10 * megabyte},
    {".mp3", 2 * megabyte, 60 * megabyte},
    {".flac", 15 * megabyte, 90 * megabyte},
    {".txt", 200, 500 * kilobyte},
    {".xlsx", 10 * kilobyte, 8 * megabyte},
    {".jpg", 300 * kilobyte, 12 * megabyte},
    {"", 1 * megabyte, 2 * gigabyte},  // no known extension
}};

std::uint64_t typical_size(const Share& share, Random& random)
{
    switch (share.type) {
    case ShareType::folder:
        // A series or a collection of films is a few to tens of GB; course materials far less.
        if (share.name.find("集") != std::string::npos || share.name.find("电影") != std::string::npos)
            return random.log_uniform(2 * gigabyte, 60 * gigabyte);
        return random.log_uniform(30 * megabyte, 20 * gigabyte);
    case ShareType::album:
        return random.log_uniform(15 * megabyte, 4 * gigabyte);
    case ShareType::file:
        break;
    }
    for (const SizeRange& range : file_sizes) {
        if (share.name.ends_with(range.extension))
            return random.log_uniform(range.low, range.high);
    }
    return 0;  // not reached: the last range matches every name
}

Share sample_share(std::uint64_t number, Random& random)
{
    Share share;
    std::uint64_t kind = random.below(10);
    share.type = kind < 7 ? ShareType::file : kind < 9 ? ShareType::folder : ShareType::album;
    switch (share.type) {
    case ShareType::file: share.name = file_name(random); break;
    case ShareType::folder: share.name = folder_name(random); break;
    case ShareType::album: share.name = album_name(random); break;
    }
    if (random.below(50) == 0)
        share.name = unusual_names[random.below(unusual_names.size())];
    share.size = typical_size(share, random);

    share.uk = 1'000'000'000 + random.below(5000) * 7919;
    if (random.below(4) != 0) {
        // Increasing with the number, so every share id is distinct.
        share.shareid = 1'000'000'000 + number * 16 + random.below(16);
    } else {
        // A letter first, so the client never reads a code as a share id; the number keeps it unique.
        share.code = std::string(1, static_cast<char>('a' + random.below(26))) + fixed_base62(number, 6)
                     + fixed_base62(random.below(62 * 62), 2);
    }
    return share;
}

constexpr std::uint64_t sample_seed = 20240601;

}  // namespace

void generate_sample_shares(std::uint64_t count, const std::function<void(const Share&)>& sink)
{
    Random random(sample_seed);
    for (std::uint64_t number = 1; number <= count; ++number)
        sink(sample_share(number, random));
}

void build_sample_catalogue(CatalogueOfRecord& catalogue, std::uint64_t count)
{
    std::string marker = std::to_string(count);
    if (catalogue.fact("sample") == marker)
        return;
    CatalogueOfRecord::Transaction transaction(catalogue);
    // Nodes starting together on one empty catalogue: the first makes the sample, the others
    // find it once they have the write lock.
    if (catalogue.fact("sample") == marker)
        return;
    catalogue.clear();
    generate_sample_shares(count, [&](const Share& share) { catalogue.add(share); });
    catalogue.set_fact("sample", marker);
    transaction.commit();
}

}  // namespace cumulo::server
