#include "platform/coreml/runtime/BufferPool.h"

#include <cstring>

#include <gtest/gtest.h>

#include "platform/coreml/runtime/MemoryBlock.h"

namespace platform::coreml::runtime {
namespace {

void fill(const std::shared_ptr<std::byte>& buffer, size_t bytes, int value) { std::memset(buffer.get(), value, bytes); }

bool holds(const std::shared_ptr<std::byte>& buffer, size_t bytes, int value) {
    const auto* p = reinterpret_cast<const unsigned char*>(buffer.get());
    for (size_t i = 0; i < bytes; ++i) {
        if (p[i] != value) return false;
    }
    return true;
}

TEST(BufferPool, GivesBackTheLargestIdleBuffersFirstAndKeepsSmallOnes) {
    const size_t small = 4096, large = kLargeBlock, larger = 4 * kLargeBlock;
    BufferPool pool;
    {
        const auto a = pool.acquire(small), b = pool.acquire(large), c = pool.acquire(larger);
    }
    const size_t allHeld = pool.bytesHeld();
    pool.keepLargeAtMost(2 * kLargeBlock);
    EXPECT_LT(pool.bytesHeld(), allHeld - larger + 1);
    EXPECT_GT(pool.bytesHeld(), large);
    pool.keepLargeAtMost(0);
    EXPECT_LT(pool.bytesHeld(), large);
    EXPECT_GT(pool.bytesHeld(), small - 1);
}

TEST(BufferPool, BuffersInUseSurviveAReleaseAndNewOnesServeAfterIt) {
    const size_t bytes = 3 * kLargeBlock;
    BufferPool pool;
    const auto live = pool.acquire(bytes);
    fill(live, bytes, 0x5a);
    pool.acquire(bytes).reset();
    pool.keepLargeAtMost(0);
    for (int round = 0; round < 3; ++round) {
        const auto again = pool.acquire(bytes);
        fill(again, bytes, round);
        EXPECT_TRUE(holds(again, bytes, round));
        pool.keepLargeAtMost(0);
    }
    EXPECT_TRUE(holds(live, bytes, 0x5a));
}

}  // namespace
}  // namespace platform::coreml::runtime
