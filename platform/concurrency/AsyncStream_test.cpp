#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <thread>
#include <vector>

#include "platform/concurrency/AsyncStream.h"
#include "platform/concurrency/Task.h"

namespace platform {
namespace {

using Stream = AsyncStream<int>;

struct Ending {
    std::atomic<int> calls{0};
    std::atomic<int> cancelled{0};

    std::function<void(Stream::Termination)> handler() {
        return [this](Stream::Termination how) {
            ++calls;
            if (how == Stream::Termination::cancelled) ++cancelled;
        };
    }
};

TEST(AsyncStream, DeliversBufferedValuesInOrderBeforeTheFinish) {
    Ending ending;
    auto [stream, continuation] = Stream::makeStream();
    continuation.setOnTermination(ending.handler());
    EXPECT_EQ(continuation.yield(1), Stream::YieldResult::enqueued);
    EXPECT_EQ(continuation.yield(2), Stream::YieldResult::enqueued);
    continuation.finish();
    continuation.finish();
    EXPECT_EQ(continuation.yield(3), Stream::YieldResult::terminated);

    std::vector<int> seen;
    for (int value : stream) seen.push_back(value);
    EXPECT_EQ(seen, (std::vector<int>{1, 2}));
    EXPECT_FALSE(stream.next());
    EXPECT_EQ(ending.calls, 1);
    EXPECT_EQ(ending.cancelled, 0);
}

TEST(AsyncStream, BuildRunsBeforeTheConstructorReturns) {
    std::optional<Stream::Continuation> kept;
    Stream stream([&](Stream::Continuation continuation) {
        continuation.yield(7);
        kept = continuation;
    });
    ASSERT_TRUE(kept);
    kept->yield(8);
    EXPECT_EQ(stream.next(), 7);
    EXPECT_EQ(stream.next(), 8);
}

TEST(AsyncStream, CancellingTheConsumerEndsItsWaitAtOnce) {
    Ending ending;
    auto [stream, continuation] = Stream::makeStream();
    continuation.setOnTermination(ending.handler());
    std::atomic<bool> reading{false};
    Task<std::optional<int>> consumer([&, stream = stream]() mutable {
        reading = true;
        return stream.next();
    });
    while (!reading) std::this_thread::yield();
    consumer.cancel();

    EXPECT_EQ(consumer.value(), std::nullopt);
    EXPECT_EQ(ending.calls, 1);
    EXPECT_EQ(ending.cancelled, 1);
    EXPECT_EQ(continuation.yield(1), Stream::YieldResult::terminated);
}

TEST(AsyncStream, ACancelledConsumerGetsNothingMoreEvenWithValuesBuffered) {
    Ending ending;
    auto [stream, continuation] = Stream::makeStream();
    continuation.setOnTermination(ending.handler());
    continuation.yield(1);
    Task<std::optional<int>> consumer([stream = stream]() mutable {
        while (!isCancelled()) std::this_thread::yield();
        return stream.next();
    });
    consumer.cancel();
    EXPECT_EQ(consumer.value(), std::nullopt);
    EXPECT_FALSE(stream.next()) << "the buffer went with the cancellation";
    EXPECT_EQ(ending.cancelled, 1);
}

TEST(AsyncStream, DroppingTheLastCopyOfTheStreamEndsIt) {
    Ending ending;
    std::optional<Stream::Continuation> continuation;
    {
        Stream stream([&](Stream::Continuation c) { continuation = c; });
        continuation->setOnTermination(ending.handler());
        Stream copy = stream;
        { Stream moved = std::move(copy); }
        EXPECT_EQ(ending.calls, 0) << "another copy is still alive";
    }
    EXPECT_EQ(ending.calls, 1);
    EXPECT_EQ(ending.cancelled, 1);
    EXPECT_EQ(continuation->yield(1), Stream::YieldResult::terminated);

    Ending late;
    continuation->setOnTermination(late.handler());
    EXPECT_EQ(late.cancelled, 1) << "a handler set after the end runs at once";
}

TEST(AsyncStream, ManyProducersLoseNothing) {
    constexpr int producers = 8;
    constexpr int perProducer = 2000;
    auto [stream, continuation] = Stream::makeStream();
    std::vector<std::thread> threads;
    for (int p = 0; p < producers; ++p) {
        threads.emplace_back([continuation = continuation, p] {
            for (int i = 0; i < perProducer; ++i) continuation.yield(p * perProducer + i);
        });
    }
    std::thread finisher([&, continuation = continuation] {
        for (std::thread& thread : threads) thread.join();
        continuation.finish();
    });

    std::vector<int> lastOf(producers, -1);
    long long count = 0;
    for (int value : stream) {
        int producer = value / perProducer;
        EXPECT_GT(value, lastOf[producer]) << "one producer's values arrive in order";
        lastOf[producer] = value;
        ++count;
    }
    finisher.join();
    EXPECT_EQ(count, producers * perProducer);
}

}  // namespace
}  // namespace platform
