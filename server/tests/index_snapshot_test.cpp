// The index kept on disk: a start uses a snapshot only when it is whole, of this catalogue and not
// past its position (an older one only where a writer catches it up), says in one line why it did
// not, and rebuilds; a snapshot whose checksums hold but
// whose insides are malformed is refused; and a loaded index answers exactly as the built one.
#include "catalogue/catalogue.h"
#include "catalogue/catalogue_writer.h"
#include "catalogue/sample_catalogue.h"
#include "catalogue/start_index.h"
#include "index/index_snapshot.h"
#include "index/share_index_builder.h"

#include "temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

namespace cumulo::server {
namespace {

constexpr std::uint64_t sample_size = 2000;

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

void flip_byte(const std::string& path, std::uint64_t offset)
{
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekg(static_cast<std::streamoff>(offset));
    char byte = 0;
    file.read(&byte, 1);
    byte = static_cast<char>(byte ^ 0x10);
    file.seekp(static_cast<std::streamoff>(offset));
    file.write(&byte, 1);
}

TEST(IndexSnapshot, AStartTrustsOnlyAWholeSnapshotOfThisCatalogueAtItsPosition)
{
    TempDir other_dir;
    std::string other = other_dir.file("other.sqlite");
    {
        Catalogue catalogue(other);
        build_sample_catalogue(catalogue, sample_size);
    }
    std::ostringstream ignored;
    open_start_index(other, Catalogue::Access::read_only, snapshot_path_for(other), true, ignored);

    struct Case {
        const char* what;
        std::function<void(const std::string& catalogue, const std::string& snapshot)> spoil;
        const char* reason;
    };
    const Case cases[] = {
        {"missing", [](auto&, auto& snapshot) { std::filesystem::remove(snapshot); }, "there is no snapshot"},
        {"cut inside the header", [](auto&, auto& snapshot) { std::filesystem::resize_file(snapshot, 10); },
         "shorter than its header (truncated)"},
        {"cut in half",
         [](auto&, auto& snapshot) { std::filesystem::resize_file(snapshot, std::filesystem::file_size(snapshot) / 2); },
         "outside the file (truncated or damaged)"},
        {"a byte flipped in the header", [](auto&, auto& snapshot) { flip_byte(snapshot, 20); }, "header is damaged"},
        {"a byte flipped in the middle",
         [](auto&, auto& snapshot) { flip_byte(snapshot, std::filesystem::file_size(snapshot) / 2); },
         "damaged (checksum)"},
        {"a byte flipped at the end",
         [](auto&, auto& snapshot) { flip_byte(snapshot, std::filesystem::file_size(snapshot) - 1); },
         "damaged (checksum)"},
        {"not a snapshot at all", [](auto&, auto& snapshot) { std::ofstream(snapshot) << std::string(4096, 'x'); },
         "not an index snapshot"},
        {"from another catalogue",
         [&other](auto&, auto& snapshot) {
             std::filesystem::copy_file(snapshot_path_for(other), snapshot,
                                        std::filesystem::copy_options::overwrite_existing);
         },
         "made from another catalogue"},
        {"newer than the catalogue",
         [](auto& catalogue, auto& snapshot) {
             Catalogue reader(catalogue, Catalogue::Access::read_only);
             write_snapshot(*reader.index(), {reader.identity(), reader.position() + 5}, snapshot);
         },
         "newer than the catalogue's last change"},
        {"older than a log trimmed past it",
         [](auto& catalogue, auto&) {
             Catalogue writer(catalogue);
             writer.put(Share{"新的一集", ShareType::file, 7, 42, "", 43});
             writer.set_fact("log_start", std::to_string(writer.position() + 1));
         },
         "the log no longer holds the changes after"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        std::string path = dir.file("shares.sqlite");
        std::string snapshot = snapshot_path_for(path);
        {
            Catalogue catalogue(path);
            build_sample_catalogue(catalogue, sample_size);
        }
        std::ostringstream first;
        open_start_index(path, Catalogue::Access::read_only, snapshot, true, first);
        c.spoil(path, snapshot);

        std::ostringstream log;
        BaseIndex start = open_start_index(path, Catalogue::Access::read_only, snapshot, true, log);
        std::vector<std::string> lines = lines_of(log.str());
        ASSERT_EQ(lines.size(), 2u) << c.what << ":\n" << log.str();
        EXPECT_NE(lines[0].find("not used ("), std::string::npos) << c.what << ": " << lines[0];
        EXPECT_NE(lines[0].find(c.reason), std::string::npos) << c.what << ": " << lines[0];
        EXPECT_NE(lines[1].find("built"), std::string::npos) << c.what << ": " << lines[1];
        Catalogue catalogue(path, Catalogue::Access::read_only);
        EXPECT_EQ(start.index->share_count(), catalogue.share_count()) << c.what;
        EXPECT_EQ(start.position, catalogue.position()) << c.what;

        // The rebuilt index replaced the snapshot: the next start loads it.
        std::ostringstream again;
        BaseIndex next = open_start_index(path, Catalogue::Access::read_only, snapshot, true, again);
        EXPECT_NE(again.str().find("loaded from"), std::string::npos) << c.what << ": " << again.str();
        EXPECT_EQ(next.index->share_count(), catalogue.share_count()) << c.what;
    }
}

// A snapshot older than the catalogue is loaded and caught up from the log when a writer follows
// the catalogue, and rebuilt when the catalogue is served as it is (nothing would catch it up).
TEST(IndexSnapshot, AnOlderSnapshotIsCaughtUpByAWriterAndRebuiltWithoutOne)
{
    struct Case {
        bool writer_follows;
        const char* logged;
    };
    for (const Case& c : {Case{true, "loaded from"}, Case{false, "the catalogue is at change"}}) {
        TempDir dir;
        std::string path = dir.file("shares.sqlite");
        std::string snapshot = snapshot_path_for(path);
        std::uint64_t snapshot_position = 0;
        {
            Catalogue catalogue(path);
            build_sample_catalogue(catalogue, sample_size);
            std::ostringstream first;
            open_start_index(path, Catalogue::Access::read_only, snapshot, true, first);
            snapshot_position = catalogue.position();
            catalogue.put(Share{"后来的新番", ShareType::file, 7, 42, "", 43});
        }
        std::ostringstream log;
        BaseIndex start = open_start_index({path, Catalogue::Access::read_only, c.writer_follows}, snapshot,
                                           c.writer_follows, log);
        EXPECT_NE(log.str().find(c.logged), std::string::npos) << c.writer_follows << ": " << log.str();
        if (!c.writer_follows) {
            EXPECT_EQ(start.position, snapshot_position + 1);
            continue;
        }
        EXPECT_EQ(start.position, snapshot_position);
        PublishedIndex published;
        CatalogueWriter writer(path, published, std::move(start));
        EXPECT_EQ(published.current()->position(), snapshot_position + 1);
        SearchQuery query;
        query.key = "后来的新番";
        EXPECT_EQ(published.current()->search(query, std::chrono::steady_clock::time_point::max()).size(), 1u);
    }
}

// Whether this process maps the file at `path`.
bool maps_file(const std::string& path)
{
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);)
        if (line.ends_with(" " + path))
            return true;
    return false;
}

// A new base made while writes go on is kept as the snapshot and then served mapped from it, so
// that its pages are the file's and no copy of it stays in the heap.
TEST(IndexSnapshot, ANewBaseIsServedFromTheFileItWasKeptIn)
{
    TempDir dir;
    std::string path = dir.file("shares.sqlite");
    {
        Catalogue catalogue(path);
        build_sample_catalogue(catalogue, sample_size);
    }
    PublishedIndex published;
    WriterSettings settings;
    settings.rebuild_after = 100;
    settings.snapshot_path = snapshot_path_for(path);
    CatalogueWriter writer(path, published, settings);
    ASSERT_FALSE(maps_file(settings.snapshot_path));

    std::string lines;
    for (int i = 1; i <= 1100; ++i)
        lines += R"({"name":"新写的 )" + std::to_string(i) + R"(","type":"file","size":1,"code":"n)" + std::to_string(i)
                 + R"(","uk":9})" "\n";
    std::istringstream input(lines);
    ASSERT_EQ(writer.put_shares(input).added, 1100u);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (published.current()->base_share_count() != sample_size + 1100 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(published.current()->base_share_count(), sample_size + 1100);
    EXPECT_TRUE(maps_file(settings.snapshot_path));
    SearchQuery query;
    query.key = "新写的 1100";
    EXPECT_EQ(published.current()->search(query, std::chrono::steady_clock::time_point::max()).size(), 1u);
}

// Arrays as the builder makes them, copied so that a test can spoil one and write them out with
// checksums that hold.
struct ForgedParts {
    std::vector<ShareNumbers> numbers;
    std::vector<ShareLengths> lengths;
    std::string texts;
    std::vector<std::uint64_t> grams;
    std::vector<ListsByType> lists;
    std::vector<std::uint8_t> spare_list;

    explicit ForgedParts(const IndexParts& parts)
        : numbers(parts.numbers.begin(), parts.numbers.end()), lengths(parts.lengths.begin(), parts.lengths.end()),
          texts(parts.texts), grams(parts.grams.begin(), parts.grams.end()), lists(parts.lists)
    {
    }
    IndexParts parts() const
    {
        IndexParts parts;
        parts.numbers = numbers;
        parts.lengths = lengths;
        parts.texts = texts;
        parts.grams = grams;
        parts.lists = lists;
        return parts;
    }
};

TEST(IndexSnapshot, RefusesMalformedInsidesBehindGoodChecksums)
{
    std::vector<Share> shares;
    generate_sample_shares(300, [&](const Share& share) { shares.push_back(share); });
    IndexParts built = build_index_parts(shares);
    struct Case {
        const char* what;
        std::function<void(ForgedParts&)> spoil;
        const char* reason;
    };
    const Case cases[] = {
        {"a name past the texts", [](ForgedParts& f) { f.numbers[5].texts_start = f.texts.size() - 1; }, "record 5"},
        {"a start far past the texts", [](ForgedParts& f) { f.numbers[7].texts_start = UINT64_MAX - 2; }, "record 7"},
        {"a type that is none", [](ForgedParts& f) { f.lengths[0].type = 3; }, "record 0"},
        {"an empty name", [](ForgedParts& f) { f.lengths[9].name_bytes = 0; }, "record 9"},
        {"sizes out of order", [](ForgedParts& f) { f.numbers[0].size = UINT64_MAX; }, "out of size order"},
        {"grams out of order", [](ForgedParts& f) { std::swap(f.grams[0], f.grams[1]); }, "grams are out of order"},
        {"a rank past the last share",
         [](ForgedParts& f) {
             CompactListWriter writer;
             writer.append(299);
             writer.append(300);
             f.spare_list = writer.finish();
             f.lists[0][1] = {f.spare_list.data(), 2, static_cast<std::uint32_t>(f.spare_list.size())};
         },
         "past the last share"},
        {"a list longer than its bytes",
         [](ForgedParts& f) {
             for (CompactList& list : f.lists[0])
                 if (!list.empty())
                     list.count += 1;
         },
         "malformed"},
    };
    TempDir dir;
    std::string path = dir.file("forged.index");
    SnapshotKey key{"catalogue-1", 9};
    for (const Case& c : cases) {
        ForgedParts forged(built);
        c.spoil(forged);
        write_snapshot(ShareIndex(forged.parts()), key, path);
        LoadedSnapshot loaded = load_snapshot(path, key);
        EXPECT_EQ(loaded.index, nullptr) << c.what;
        EXPECT_NE(loaded.problem.find(c.reason), std::string::npos) << c.what << ": " << loaded.problem;
    }
    ForgedParts untouched(built);
    write_snapshot(ShareIndex(untouched.parts()), key, path);
    EXPECT_EQ(load_snapshot(path, key).problem, "");
}

TEST(IndexSnapshot, ALoadedIndexAnswersAsTheBuiltOne)
{
    std::vector<Share> shares;
    generate_sample_shares(5000, [&](const Share& share) { shares.push_back(share); });
    ShareIndex built(shares);
    TempDir dir;
    std::string path = dir.file("shares.index");
    SnapshotKey key{"catalogue-2", 1234};
    write_snapshot(built, key, path);
    LoadedSnapshot loaded = load_snapshot(path, key);
    ASSERT_TRUE(loaded.index) << loaded.problem;
    ASSERT_EQ(loaded.index->share_count(), built.share_count());

    // One and two characters, common and rare longer keys, a key with no match, every type,
    // both orders and pages deep in the lists.
    const char* keys[] = {"集", "e", "电影", "Tr", "考研英语", "lecture 1", "真题讲义", "高清", "琅琊榜 全", "q", "no such words"};
    std::size_t answered = 0;
    for (const char* key_text : keys) {
        for (std::optional<ShareType> type : {std::optional<ShareType>(), std::optional(ShareType::album),
                                              std::optional(ShareType::file), std::optional(ShareType::folder)}) {
            for (bool descending : {false, true}) {
                for (std::uint64_t start : {0, 37, 600}) {
                    SearchQuery query{key_text, 200, descending, start, type};
                    auto deadline = std::chrono::steady_clock::time_point::max();
                    std::vector<Share> want = built.search(query, deadline);
                    EXPECT_TRUE(loaded.index->search(query, deadline) == want)
                        << key_text << " start " << start << (descending ? " descending" : "");
                    answered += want.size();
                }
            }
        }
    }
    EXPECT_GT(answered, 10'000u);
}

}  // namespace
}  // namespace cumulo::server
