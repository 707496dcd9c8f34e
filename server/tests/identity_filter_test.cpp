#include "index/identity_filter.h"

#include <gtest/gtest.h>

#include <vector>

namespace cumulo::server {
namespace {

TEST(IdentityFilter, PassesEveryHashItWasMadeWithAndFewOthers)
{
    // std::hash leaves numbers as they are: neighbouring numbers are the usual hashes.
    for (std::size_t count : {1u, 7u, 1000u, 100'000u}) {
        std::vector<std::size_t> hashes;
        for (std::size_t i = 0; i < count; ++i)
            hashes.push_back(i * 2);
        IdentityFilter filter(hashes);
        for (std::size_t hash : hashes)
            ASSERT_TRUE(filter.may_contain(hash)) << count << " hashes, " << hash;
        std::size_t passed = 0, tried = 100'000;
        for (std::size_t i = 0; i < tried; ++i)
            passed += filter.may_contain(i * 2 + 1);
        EXPECT_LT(passed, tried / 20) << count << " hashes";
    }
}

TEST(IdentityFilter, MadeOfNothingPassesEverything)
{
    // A segment whose filter was not made must still have its set asked.
    for (const IdentityFilter& filter : {IdentityFilter(), IdentityFilter(std::vector<std::size_t>())})
        for (std::size_t hash : {std::size_t{0}, std::size_t{1}, ~std::size_t{0}})
            EXPECT_TRUE(filter.may_contain(hash)) << hash;
}

}  // namespace
}  // namespace cumulo::server
