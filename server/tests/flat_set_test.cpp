// The flat set against std::set: every key in once, found after every growth of its table, and
// keys it never held not found, with a spread hash and with one that sends every key to one slot.
#include "index/flat_set.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace cumulo::server {
namespace {

struct SpreadHash {
    std::size_t operator()(const std::string& key) const { return std::hash<std::string>()(key); }
};
struct OneSlotHash {
    std::size_t operator()(const std::string&) const { return 42; }
};

template <typename Hash> void expect_same_as_a_set(int key_count)
{
    FlatSet<std::string, Hash> flat;
    std::set<std::string> reference;
    for (int i = 0; i < key_count; ++i) {
        std::string key = "k" + std::to_string(i * 7 % (key_count / 2 + 1));  // every other key comes twice
        EXPECT_EQ(flat.insert(key), reference.insert(key).second) << key;
    }
    EXPECT_EQ(flat.size(), reference.size());
    EXPECT_EQ(std::set<std::string>(flat.begin(), flat.end()), reference);
    for (int i = 0; i < key_count; ++i) {
        std::string key = "k" + std::to_string(i);
        EXPECT_EQ(flat.contains(key), reference.contains(key)) << key;
        EXPECT_FALSE(flat.contains("absent" + std::to_string(i)));
    }
}

TEST(FlatSet, HoldsWhatASetHoldsThroughEveryGrowth)
{
    expect_same_as_a_set<SpreadHash>(5'000);
    expect_same_as_a_set<OneSlotHash>(300);
    EXPECT_FALSE((FlatSet<std::string, SpreadHash>().contains("anything")));
}

}  // namespace
}  // namespace cumulo::server
