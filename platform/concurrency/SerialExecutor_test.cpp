#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/concurrency/MainActor.h"
#include "platform/concurrency/SerialExecutor.h"
#include "platform/concurrency/Task.h"

using namespace std::chrono_literals;

namespace platform {
namespace {

TEST(SerialExecutor, RunsJobsOneAtATimeInPostOrder) {
    SerialExecutor executor("test.serial");
    constexpr int posters = 6;
    constexpr int perPoster = 300;
    std::vector<int> order;  // unguarded on purpose: only the executor touches it
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    std::atomic<int> done{0};

    std::vector<std::thread> threads;
    for (int p = 0; p < posters; ++p) {
        threads.emplace_back([&, p] {
            for (int i = 0; i < perPoster; ++i) {
                executor.post([&, value = p * perPoster + i] {
                    if (inside.fetch_add(1) != 0) ++overlaps;
                    order.push_back(value);
                    inside.fetch_sub(1);
                    ++done;
                });
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    executor.run([] {});

    EXPECT_EQ(done, posters * perPoster);
    EXPECT_EQ(overlaps, 0);
    std::vector<int> lastOf(posters, -1);
    for (int value : order) {
        EXPECT_GT(value, lastOf[value / perPoster]);
        lastOf[value / perPoster] = value;
    }
}

TEST(SerialExecutor, RunReturnsOrRethrowsAndNestsWithoutDeadlock) {
    SerialExecutor executor;
    EXPECT_FALSE(executor.isCurrent());
    EXPECT_EQ(executor.run([] { return 5; }), 5);
    EXPECT_THROW(executor.run([]() -> int { throw std::range_error("inside"); }), std::range_error);
    EXPECT_EQ(executor.run([&] { return executor.isCurrent() ? executor.run([] { return 6; }) : -1; }), 6);

    SerialExecutor other;
    EXPECT_FALSE(executor.run([&] { return other.isCurrent(); }));
}

TEST(SerialExecutor, RunSeesTheCallersCancellation) {
    SerialExecutor executor;
    Task<bool> caller([&] {
        while (!isCancelled()) std::this_thread::yield();
        return executor.run([] { return isCancelled(); });
    });
    caller.cancel();
    EXPECT_TRUE(caller.value());
}

TEST(MainActor, RunsJobsOnlyWhenDrainedOnTheDrainingThread) {
    MainActor::drain();
    std::vector<int> order;
    std::atomic<bool> onDrainingThread{true};
    const std::thread::id self = std::this_thread::get_id();
    std::thread([&] {
        for (int i = 0; i < 3; ++i) {
            MainActor::post([&, i] {
                if (std::this_thread::get_id() != self || !MainActor::isCurrent()) onDrainingThread = false;
                order.push_back(i);
                if (i == 2) MainActor::post([&] { order.push_back(3); });
            });
        }
    }).join();
    EXPECT_TRUE(order.empty());
    EXPECT_FALSE(MainActor::isCurrent());

    EXPECT_EQ(MainActor::drain(), 4u) << "jobs posted while draining run in the same drain";
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3}));
    EXPECT_TRUE(onDrainingThread);
    EXPECT_EQ(MainActor::drain(), 0u);
}

TEST(MainActor, RunFromATaskWaitsForTheDrain) {
    MainActor::drain();
    Task<bool> task([] { return MainActor::run([] { return MainActor::isCurrent(); }); });
    std::size_t ran = 0;
    while (ran == 0) ran = MainActor::waitAndDrain(10s);
    EXPECT_EQ(ran, 1u);
    EXPECT_TRUE(task.value());

    int nested = 0;
    MainActor::post([&] { nested = MainActor::run([] { return 9; }); });
    MainActor::drain();
    EXPECT_EQ(nested, 9) << "on the draining thread run() goes in place";
}

}  // namespace
}  // namespace platform
