// The live index against an index rebuilt from the catalogue: after every batch of writes (and
// of another process's), through segments, their merging and new bases built meanwhile, each
// search answers what a fresh index of the catalogue answers.
#include "catalogue/catalogue.h"
#include "catalogue/catalogue_writer.h"

#include "temp_dir.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <set>
#include <sstream>

namespace cumulo::server {
namespace {

std::string put_line(std::uint64_t id, const std::string& name, std::uint64_t size, ShareType type)
{
    std::string identity = id % 3 == 0 ? R"("code":"c)" + std::to_string(id) + '"' : R"("shareid":)" + std::to_string(id);
    return R"({"name":")" + name + R"(","type":")" + std::string(type_word(type)) + R"(","size":)" + std::to_string(size)
           + "," + identity + R"(,"uk":4})" "\n";
}

std::string remove_line(std::uint64_t id)
{
    return id % 3 == 0 ? R"({"code":"c)" + std::to_string(id) + R"("})" "\n"
                       : R"({"shareid":)" + std::to_string(id) + R"(,"uk":4})" "\n";
}

TEST(LiveIndex, AnswersAsAFreshIndexOfTheCatalogueThroughEveryBatchAndRebuild)
{
    TempDir dir;
    const std::string path = dir.file("live.sqlite");
    {
        Catalogue catalogue(path);
        std::istringstream first(put_line(1, "alpha beta", 1, ShareType::file));
        import_shares(catalogue, first);
    }
    PublishedIndex published;
    WriterSettings settings;
    settings.rebuild_after = 40;  // new bases often, while writes go on
    settings.follow_interval = std::chrono::hours(1);  // only writes take in what others commit
    CatalogueWriter writer(path, published, settings);
    Catalogue other_process(path);

    const char* words[] = {"alpha", "beta", "gamma", "电影", "影集"};
    std::mt19937 random(7);
    std::uint64_t next_size = 2;  // every share's size differs, so every page has one order
    for (int batch = 0; batch < 60; ++batch) {
        std::string puts, removes;
        std::set<std::uint64_t> in_batch;
        for (int i = 0; i < 12; ++i) {
            std::uint64_t id = 2 + random() % 150;
            if (!in_batch.insert(id).second)
                continue;
            if (random() % 4 == 0) {
                removes += remove_line(id);
            } else {
                std::string name = std::string(words[random() % 5]) + " " + words[random() % 5];
                puts += put_line(id, name, next_size++, static_cast<ShareType>(random() % 3));
            }
        }
        // Now and then another process commits first: the write's changes then come after its.
        if (batch % 5 == 0) {
            std::istringstream other(put_line(1000 + batch, "gamma alpha", next_size++, ShareType::album));
            ASSERT_EQ(import_shares(other_process, other).added, 1u);
        }
        std::istringstream put_input(puts), remove_input(removes);
        ASSERT_EQ(writer.put_shares(put_input).bad_line_count, 0u);
        ASSERT_EQ(writer.remove_shares(remove_input).bad_line_count, 0u);

        std::shared_ptr<const LiveIndex> live = published.current();
        Catalogue fresh(path, Catalogue::Access::read_only);
        ASSERT_EQ(live->position(), fresh.position());
        for (const char* key : {"alpha", "a", "电影", "影", "beta gamma", "ta ga", "zeta"})
            for (bool descending : {false, true})
                for (std::uint64_t start : {0u, 3u, 40u})
                    for (std::optional<ShareType> type : {std::optional<ShareType>(), std::optional(ShareType::folder)}) {
                        SearchQuery query;
                        query.key = key;
                        query.limit = 7;
                        query.start = start;
                        query.descending = descending;
                        query.type = type;
                        ASSERT_EQ(live->search(query, std::chrono::steady_clock::time_point::max()), fresh.search(query))
                            << "batch " << batch << ", key " << key << ", start " << start
                            << (descending ? ", descending" : "") << ", overlay " << live->overlay_size();
                    }
    }
}

TEST(LiveIndex, HidesOnlyTheIdentityALaterSegmentTouchedNotOneOfTheSameHash)
{
    // Two numeric identities with one hash: the filters and the set's bucket cannot tell them
    // apart, only the identities themselves.
    constexpr std::uint64_t mixer = 0x9E3779B97F4A7C15ull;
    Share touched{"alpha touched", ShareType::file, 10, 1001, {}, 1};
    Share same_hash{"alpha same hash", ShareType::file, 20, 1001 ^ (1 * mixer) ^ (3 * mixer), {}, 3};
    ASSERT_EQ(IdentityKeyHash()(identity_key(touched)), IdentityKeyHash()(identity_key(same_hash)));

    auto put = [](std::uint64_t number, const Share& share) {
        return Catalogue::Change{number, Catalogue::Change::Kind::put, share};
    };
    auto remove = [](std::uint64_t number, const Share& share) {
        return Catalogue::Change{number, Catalogue::Change::Kind::remove, share};
    };
    Share replaced = touched;
    replaced.size = 30;
    struct Case {
        const char* name;
        std::vector<Share> base;
        std::vector<std::vector<Catalogue::Change>> batches;
        std::vector<Share> expected;
    };
    const Case cases[] = {
        {"removed after the base", {touched, same_hash}, {{remove(2, touched)}}, {same_hash}},
        {"replaced after the base", {touched, same_hash}, {{put(2, replaced)}}, {same_hash, replaced}},
        {"removed after a segment", {}, {{put(2, same_hash), put(3, touched)}, {remove(4, touched)}}, {same_hash}},
        {"put in two segments", {}, {{put(2, same_hash)}, {put(3, touched)}}, {touched, same_hash}},
    };
    for (const Case& c : cases) {
        auto live = std::make_shared<const LiveIndex>(std::make_shared<const ShareIndex>(c.base), 1);
        for (const auto& batch : c.batches)
            live = live->with(batch, batch.back().number);
        SearchQuery query;
        query.key = "alpha";
        EXPECT_EQ(live->search(query, std::chrono::steady_clock::time_point::max()), c.expected) << c.name;
    }
}

TEST(LiveIndex, OrdersSharesOfTheSizeAtThePagesEdgeAsOneIndexOfThemAll)
{
    // Sizes that repeat across the base and the segments, the page's last size among them: a
    // segment's share of that size comes after the base's ascending, before them descending.
    const std::uint64_t base_sizes[] = {9, 8, 7, 7, 7, 3, 3, 1};
    const std::vector<std::vector<std::uint64_t>> batch_sizes = {{7, 3}, {7, 2, 9}, {3}};
    std::vector<Share> all;
    auto share = [&all](std::uint64_t size) {
        all.push_back({"alpha " + std::to_string(all.size()), ShareType::file, size, all.size() + 1, {}, 1});
        return all.back();
    };
    std::vector<Share> base;
    for (std::uint64_t size : base_sizes)
        base.push_back(share(size));
    auto live = std::make_shared<const LiveIndex>(std::make_shared<const ShareIndex>(base), 1);
    std::uint64_t number = 1;
    for (const auto& sizes : batch_sizes) {
        std::vector<Catalogue::Change> batch;
        for (std::uint64_t size : sizes)
            batch.push_back({++number, Catalogue::Change::Kind::put, share(size)});
        live = live->with(batch, number);
    }
    ShareIndex one_index(all);
    for (bool descending : {false, true})
        for (unsigned limit : {1u, 3u, 4u, 5u, 8u})
            for (std::uint64_t start : {0u, 2u}) {
                SearchQuery query;
                query.key = "alpha";
                query.limit = limit;
                query.start = start;
                query.descending = descending;
                auto deadline = std::chrono::steady_clock::time_point::max();
                EXPECT_EQ(live->search(query, deadline), one_index.search(query, deadline))
                    << (descending ? "descending" : "ascending") << ", limit " << limit << ", start " << start;
            }
}

TEST(PublishedIndex, HandsBackAReplacedVersionOnlyOnceNoSearchHoldsIt)
{
    auto empty_index = [](std::uint64_t position) {
        return std::make_shared<const LiveIndex>(std::make_shared<const ShareIndex>(std::vector<Share>()), position);
    };
    PublishedIndex published;
    published.publish(empty_index(1));
    EXPECT_TRUE(published.take_unused().empty());  // nothing replaced yet

    std::shared_ptr<const LiveIndex> searched = published.current();  // a search in flight
    published.publish(empty_index(2));
    published.publish(empty_index(3));
    std::vector<std::shared_ptr<const LiveIndex>> unused = published.take_unused();
    ASSERT_EQ(unused.size(), 1u);  // version 2: no search took it
    EXPECT_EQ(unused[0]->position(), 2u);
    EXPECT_EQ(unused[0].use_count(), 1);  // freed where the caller drops it

    searched.reset();  // the search ends: version 1 is the list's alone now
    unused = published.take_unused();
    ASSERT_EQ(unused.size(), 1u);
    EXPECT_EQ(unused[0]->position(), 1u);
    EXPECT_TRUE(published.take_unused().empty());
    EXPECT_EQ(published.current()->position(), 3u);
}

}  // namespace
}  // namespace cumulo::server
