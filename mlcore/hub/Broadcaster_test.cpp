#include "mlcore/hub/Broadcaster.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/concurrency/Task.h"

namespace celvan {
namespace {

std::vector<int> take(platform::AsyncStream<int>& stream, std::size_t count) {
    std::vector<int> values;
    while (values.size() < count) {
        auto value = stream.next();
        if (!value) break;
        values.push_back(*value);
    }
    return values;
}

TEST(Broadcaster, ALateSubscriberHearsTheLatestStateFirstAndThenEveryBroadcast) {
    Broadcaster<int> broadcaster([] { return std::optional(-1); });
    auto early = broadcaster.subscribe();
    broadcaster.broadcast(1);
    broadcaster.broadcast(2);
    auto late = broadcaster.subscribe();
    broadcaster.broadcast(3);
    EXPECT_EQ(take(early, 4), (std::vector<int>{-1, 1, 2, 3}));
    EXPECT_EQ(take(late, 2), (std::vector<int>{2, 3}));
}

TEST(Broadcaster, AnInitialStateOfNothingLeavesTheStreamSilentUntilTheFirstBroadcast) {
    int asked = 0;
    Broadcaster<int> broadcaster([&] {
        ++asked;
        return std::optional<int>();
    });
    auto stream = broadcaster.subscribe();
    broadcaster.broadcast(7);
    EXPECT_EQ(take(stream, 1), std::vector<int>{7});
    EXPECT_EQ(asked, 1);
    auto later = broadcaster.subscribe();
    EXPECT_EQ(take(later, 1), std::vector<int>{7});
    EXPECT_EQ(asked, 1);
}

TEST(Broadcaster, SubscribersLeaveWhenTheirStreamIsDroppedOrTheirTaskCancelled) {
    Broadcaster<int> broadcaster([] { return std::optional(0); });
    auto kept = broadcaster.subscribe();
    { auto dropped = broadcaster.subscribe(); }
    EXPECT_EQ(broadcaster.subscriberCount(), 1u);

    auto watched = broadcaster.subscribe();
    platform::Task<std::vector<int>> reader([&] {
        std::vector<int> values;
        while (auto value = watched.next()) values.push_back(*value);
        return values;
    });
    while (broadcaster.subscriberCount() != 2) std::this_thread::yield();
    reader.cancel();
    reader.value();
    EXPECT_EQ(broadcaster.subscriberCount(), 1u);
    broadcaster.broadcast(5);
    EXPECT_EQ(take(kept, 2), (std::vector<int>{0, 5}));
}

TEST(Broadcaster, EverySubscriberHearsConcurrentBroadcastsInTheirOrder) {
    Broadcaster<int> broadcaster([] { return std::optional(0); });
    constexpr int kLast = 2000;
    std::vector<platform::AsyncStream<int>> streams;
    for (int i = 0; i < 3; ++i) streams.push_back(broadcaster.subscribe());
    std::thread producer([&] {
        for (int value = 1; value <= kLast; ++value) broadcaster.broadcast(value);
    });
    // Subscribing while broadcasts run never loses or reorders one.
    auto joining = broadcaster.subscribe();
    producer.join();
    for (auto& stream : streams) {
        auto values = take(stream, kLast + 1);
        ASSERT_EQ(values.size(), static_cast<std::size_t>(kLast + 1));
        for (int i = 0; i <= kLast; ++i) EXPECT_EQ(values[static_cast<std::size_t>(i)], i);
    }
    auto first = joining.next();
    ASSERT_TRUE(first);
    int previous = *first;
    while (previous < kLast) {
        auto value = joining.next();
        ASSERT_TRUE(value);
        EXPECT_EQ(*value, previous + 1);
        previous = *value;
    }
}

}  // namespace
}  // namespace celvan
