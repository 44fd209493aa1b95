#include "platform/coreml/runtime/WorkerPool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

namespace platform::coreml::runtime {
namespace {

// Every index covered exactly once, for sizes around the chunk boundaries.
TEST(WorkerPoolTest, CoversEveryIndexOnce) {
    struct Case {
        int64_t count, grain;
    };
    for (const Case c : {Case{1, 1}, Case{7, 1}, Case{33, 1}, Case{1000, 3}, Case{4097, 64}, Case{5, 100}}) {
        std::vector<std::atomic<int>> hits(static_cast<size_t>(c.count));
        parallelFor(c.count, c.grain, [&](int64_t begin, int64_t end) {
            for (int64_t i = begin; i < end; ++i) hits[static_cast<size_t>(i)].fetch_add(1);
        });
        for (int64_t i = 0; i < c.count; ++i) ASSERT_EQ(hits[static_cast<size_t>(i)].load(), 1) << c.count << " at " << i;
    }
}

// Callers on several threads, one of them nesting calls, after pauses long
// enough for the workers to fall asleep between jobs.
TEST(WorkerPoolTest, ServesConcurrentAndNestedCallers) {
    std::atomic<int64_t> total{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 4; ++t) {
        callers.emplace_back([&, t] {
            for (int round = 0; round < 20; ++round) {
                if (round % 5 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
                parallelFor(64, 1, [&](int64_t begin, int64_t end) {
                    for (int64_t i = begin; i < end; ++i) {
                        if (t == 0) {
                            parallelFor(8, 1, [&](int64_t b, int64_t e) { total.fetch_add(e - b); });
                        } else {
                            total.fetch_add(8);
                        }
                    }
                });
            }
        });
    }
    for (auto& caller : callers) caller.join();
    EXPECT_EQ(total.load(), 4 * 20 * 64 * 8);
}

// More callers than the pool has places for calls, each call short, so that
// places are handed from one call to the next while workers are still
// looking at them, and some callers find none free and run alone.
TEST(WorkerPoolTest, KeepsShortCallsApartWhenManyCallersShareThePool) {
    std::atomic<int> miscounted{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 72; ++t) {
        callers.emplace_back([&, t] {
            for (int round = 0; round < 200; ++round) {
                const int64_t count = 2 + (t * 7 + round) % 40;
                std::vector<std::atomic<int>> hits(static_cast<size_t>(count));
                parallelFor(count, 1, [&](int64_t begin, int64_t end) {
                    for (int64_t i = begin; i < end; ++i) hits[static_cast<size_t>(i)].fetch_add(1);
                });
                for (const auto& hit : hits) {
                    if (hit.load() != 1) miscounted.fetch_add(1);
                }
            }
        });
    }
    for (auto& caller : callers) caller.join();
    EXPECT_EQ(miscounted.load(), 0);
}

TEST(WorkerPoolTest, RethrowsAfterTheOtherRangesFinish) {
    std::atomic<int64_t> covered{0};
    EXPECT_THROW(parallelFor(100, 1,
                             [&](int64_t begin, int64_t end) {
                                 covered.fetch_add(end - begin);
                                 if (begin == 0) throw std::runtime_error("range failed");
                             }),
                 std::runtime_error);
    EXPECT_EQ(covered.load(), 100);
}

}  // namespace
}  // namespace platform::coreml::runtime
