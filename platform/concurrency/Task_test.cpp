#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/concurrency/AsyncStream.h"
#include "platform/concurrency/CancellationError.h"
#include "platform/concurrency/CancellationToken.h"
#include "platform/concurrency/Sleep.h"
#include "platform/concurrency/Task.h"
#include "platform/concurrency/TaskGroup.h"

using namespace std::chrono_literals;

namespace platform {
namespace {

// Long enough that a test only ends if cancellation cut the wait short.
constexpr auto forever = std::chrono::hours(1);

TEST(Task, ValueReturnsTheResultOrRethrowsToEveryWaiter) {
    Task<int> answer([] { return 42; });
    Task<std::string> failing([]() -> std::string { throw std::invalid_argument("bad input"); });
    Task<void> nothing([] {});

    EXPECT_EQ(answer.value(), 42);
    EXPECT_EQ(answer.value(), 42);
    EXPECT_THROW(failing.value(), std::invalid_argument);
    EXPECT_THROW(failing.value(), std::invalid_argument);
    EXPECT_NO_THROW(nothing.value());
}

TEST(Task, CancelFromAnotherThreadReachesTheBody) {
    std::atomic<bool> started{false};
    Task<int> spinning([&] {
        started = true;
        int rounds = 0;
        while (!isCancelled()) {
            ++rounds;
            std::this_thread::yield();
        }
        checkCancellation();
        return rounds;
    });
    while (!started) std::this_thread::yield();
    std::thread([spinning] { spinning.cancel(); }).join();

    EXPECT_TRUE(spinning.isCancelled());
    EXPECT_THROW(spinning.value(), CancellationError);
}

TEST(Task, CancellationIsNotAnErrorOfTheModules) {
    Task<void> cancelled([] {
        while (!isCancelled()) std::this_thread::yield();
        checkCancellation();
    });
    cancelled.cancel();
    bool caughtAsRuntimeError = false;
    bool caughtAsCancellation = false;
    try {
        cancelled.value();
    } catch (const std::runtime_error&) {
        caughtAsRuntimeError = true;
    } catch (const CancellationError&) {
        caughtAsCancellation = true;
    }
    EXPECT_FALSE(caughtAsRuntimeError);
    EXPECT_TRUE(caughtAsCancellation);
    EXPECT_FALSE(isCancelled()) << "outside of tasks nothing is cancelled";
}

TEST(Task, AnUnstructuredTaskKeepsItsOwnToken) {
    Task<bool> outer([] {
        Task<bool> inner([] { return isCancelled(); });
        while (!isCancelled()) std::this_thread::yield();
        return inner.value();
    });
    outer.cancel();
    EXPECT_FALSE(outer.value());
}

TEST(Task, SleepEndsWithCancellationErrorWhenCancelled) {
    Task<void> sleeper([] { sleep(forever); });
    sleeper.cancel();
    EXPECT_THROW(sleeper.value(), CancellationError);

    Task<bool> finishes([] {
        sleep(1ms);
        return true;
    });
    EXPECT_TRUE(finishes.value());
}

TEST(Task, CancellationHandlerRunsOnceTheTaskIsCancelledAndNeverAfterwards) {
    std::atomic<int> handlerRuns{0};
    std::atomic<bool> inside{false};
    Task<void> waiting([&] {
        withTaskCancellationHandler(
            [&] {
                inside = true;
                while (!isCancelled()) std::this_thread::yield();
            },
            [&] { ++handlerRuns; });
    });
    while (!inside) std::this_thread::yield();
    waiting.cancel();
    waiting.value();
    EXPECT_EQ(handlerRuns, 1);

    Task<void> finishedFirst([&] { withTaskCancellationHandler([] {}, [&] { ++handlerRuns; }); });
    finishedFirst.value();
    finishedFirst.cancel();
    EXPECT_EQ(handlerRuns, 1);

    Task<void> alreadyCancelled([&] {
        while (!isCancelled()) std::this_thread::yield();
        withTaskCancellationHandler([] {}, [&] { ++handlerRuns; });
    });
    alreadyCancelled.cancel();
    alreadyCancelled.value();
    EXPECT_EQ(handlerRuns, 2);
}

// More waiting tasks than the pool has threads: each waits on work queued
// behind it, which only runs if waiting threads do not hold up the queue.
TEST(Task, TasksWaitingOnQueuedWorkDoNotDeadlockThePool) {
    const int count = 8 * static_cast<int>(std::max(2u, std::thread::hardware_concurrency()));

    std::vector<Task<int>> nested;
    for (int i = 0; i < count; ++i) {
        nested.emplace_back([i] {
            Task<int> inner([i] { return i * 2; });
            return inner.value() + 1;
        });
    }
    for (int i = 0; i < count; ++i) EXPECT_EQ(nested[i].value(), i * 2 + 1);

    std::vector<AsyncStream<int>> streams;
    std::vector<AsyncStream<int>::Continuation> producers;
    for (int i = 0; i < count; ++i) {
        auto [stream, continuation] = AsyncStream<int>::makeStream();
        streams.push_back(std::move(stream));
        producers.push_back(std::move(continuation));
    }
    std::vector<Task<int>> consumers;
    for (int i = 0; i < count; ++i) {
        consumers.emplace_back([stream = streams[i]]() mutable { return stream.next().value_or(-1); });
    }
    std::vector<Task<void>> producerTasks;
    for (int i = 0; i < count; ++i) {
        producerTasks.emplace_back([continuation = producers[i], i] { continuation.yield(i); });
    }
    for (int i = 0; i < count; ++i) EXPECT_EQ(consumers[i].value(), i);
}

TEST(TaskGroup, CollectsEveryChildResult) {
    TaskGroup<int> group;
    for (int i = 1; i <= 100; ++i) group.addTask([i] { return i; });
    EXPECT_FALSE(group.isEmpty());
    int sum = 0;
    while (std::optional<int> value = group.next()) sum += *value;
    EXPECT_EQ(sum, 5050);
    EXPECT_TRUE(group.isEmpty());
    EXPECT_FALSE(group.next());
}

TEST(TaskGroup, ChildrenInheritTheCancellationOfTheEnclosingTask) {
    std::atomic<int> childrenStarted{0};
    Task<int> outer([&] {
        TaskGroup<void> group;
        for (int i = 0; i < 4; ++i) {
            group.addTask([&] {
                ++childrenStarted;
                sleep(forever);
            });
        }
        int cancelledChildren = 0;
        for (;;) {
            try {
                if (!group.next()) break;
            } catch (const CancellationError&) {
                ++cancelledChildren;
            }
        }
        return cancelledChildren;
    });
    while (childrenStarted < 4) std::this_thread::yield();
    outer.cancel();
    EXPECT_EQ(outer.value(), 4);
}

TEST(TaskGroup, AThrowingChildCancelsTheOthersAndItsErrorIsRethrown) {
    std::atomic<int> siblingsCancelled{0};
    TaskGroup<void> group;
    for (int i = 0; i < 3; ++i) {
        group.addTask([&] {
            try {
                sleep(forever);
            } catch (const CancellationError&) {
                ++siblingsCancelled;
                throw;
            }
        });
    }
    group.addTask([] { throw std::out_of_range("child failed"); });
    EXPECT_THROW(group.waitForAll(), std::out_of_range);
    EXPECT_EQ(siblingsCancelled, 3);
    EXPECT_TRUE(group.isEmpty());
}

TEST(TaskGroup, LeavingByAnExceptionCancelsAndWaitsForTheChildren) {
    std::atomic<int> childrenDone{0};
    std::atomic<int> childrenStarted{0};
    EXPECT_THROW(
        {
            TaskGroup<void> group;
            for (int i = 0; i < 3; ++i) {
                group.addTask([&] {
                    ++childrenStarted;
                    try {
                        sleep(forever);
                    } catch (const CancellationError&) {
                    }
                    ++childrenDone;
                });
            }
            while (childrenStarted < 3) std::this_thread::yield();
            throw std::logic_error("body failed");
        },
        std::logic_error);
    EXPECT_EQ(childrenDone, 3);
}

TEST(TaskGroup, ACancelledGroupStartsNewChildrenCancelled) {
    TaskGroup<bool> group;
    group.cancelAll();
    EXPECT_TRUE(group.isCancelled());
    EXPECT_FALSE(group.addTaskUnlessCancelled([] { return false; }));
    group.addTask([] { return isCancelled(); });
    EXPECT_EQ(group.next(), std::optional<bool>(true));
    EXPECT_FALSE(group.next());
}

}  // namespace
}  // namespace platform
