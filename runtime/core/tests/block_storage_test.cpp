// Blocks whose storage is kept for reuse: still zero-filled when handed out
// again, and counted exactly by the census wherever they are made and freed.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "blocks.h"
#include "worker.h"

namespace {

// Kept sizes (small), the largest kept one, and sizes that never are.
constexpr std::size_t sizes[] = {0, 1, 8, 16, 24, 100, 224, 225, 1000, 70000};

TEST(BlockStorage, ReusedBlocksAreZeroFilled)
{
    for (std::size_t size : sizes) {
        SCOPED_TRACE(size);
        // Dirty blocks of this size and of the sizes around it, then free them.
        std::vector<void*> dirty;
        for (std::size_t s : {size, size + 1, size > 0 ? size - 1 : 0}) {
            void* b = cu::allocate_block(s);
            std::memset(b, 0xA5, s);
            dirty.push_back(b);
        }
        for (void* b : dirty) cu::free_block(b);
        auto* again = static_cast<unsigned char*>(cu::allocate_block(size));
        for (std::size_t i = 0; i < size; ++i) ASSERT_EQ(again[i], 0) << "byte " << i;
        cu::free_block(again);
    }
}

TEST(BlockStorage, CensusCountsBlocksFreedOnAnotherThread)
{
    const std::size_t before = cu::census().blocks;
    std::vector<void*> made;
    std::thread maker([&] {
        for (int round = 0; round < 300; ++round)
            for (std::size_t size : sizes) made.push_back(cu::allocate_block(size));
    });
    maker.join();
    EXPECT_EQ(cu::census().blocks, before + made.size());

    // Half freed here, half on a thread that ends right after; freeing more
    // than a thread keeps sends the rest back to the C library.
    const std::size_t half = made.size() / 2;
    std::thread freer([&] {
        for (std::size_t i = half; i < made.size(); ++i) cu::free_block(made[i]);
    });
    for (std::size_t i = 0; i < half; ++i) cu::free_block(made[i]);
    freer.join();
    EXPECT_EQ(cu::census().blocks, before);
}

}  // namespace
