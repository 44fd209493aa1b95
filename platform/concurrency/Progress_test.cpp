#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/concurrency/Progress.h"

namespace platform {
namespace {

TEST(Progress, FractionCountsUnfinishedChildrenByTheirShare) {
    struct Case {
        int64_t total;
        int64_t completed;
        int64_t childCompleted;  // of 100, the child counting for 1 unit
        double fraction;
        int64_t completedAfter;  // parent's own count once the child is done with
    };
    const Case cases[] = {
        {2, 0, 0, 0.0, 0},      {2, 0, 50, 0.25, 0},  {2, 1, 50, 0.75, 1},
        {2, 0, 100, 0.5, 1},    {4, 0, 150, 0.25, 1}, {0, 0, 50, 0.0, 0},
    };
    for (const Case& c : cases) {
        auto overall = Progress::create(c.total);
        overall->setCompletedUnitCount(c.completed);
        auto file = Progress::create(100);
        overall->addChild(file, 1);
        file->setCompletedUnitCount(c.childCompleted);
        EXPECT_DOUBLE_EQ(overall->fractionCompleted(), c.fraction) << c.total << "/" << c.childCompleted;
        EXPECT_EQ(overall->completedUnitCount(), c.completedAfter) << c.total << "/" << c.childCompleted;
    }
}

TEST(Progress, AFinishedChildCountsOnceAndThenNoMore) {
    auto overall = Progress::create(3);
    auto first = Progress::create(100);
    overall->addChild(first, 1);
    first->setCompletedUnitCount(100);
    first->setCompletedUnitCount(100);
    first->setCompletedUnitCount(10);
    EXPECT_EQ(overall->completedUnitCount(), 1);
    EXPECT_DOUBLE_EQ(overall->fractionCompleted(), 1.0 / 3.0);

    auto done = Progress::create(5);
    done->setCompletedUnitCount(5);
    overall->addChild(done, 2);
    EXPECT_EQ(overall->completedUnitCount(), 3) << "a child finished before it was added counts at once";
    EXPECT_TRUE(overall->isFinished());
    EXPECT_THROW(Progress::create(1)->addChild(done, 1), std::logic_error);
}

TEST(Progress, FinishingRollsUpThroughEveryLevel) {
    auto root = Progress::create(1);
    auto middle = Progress::create(2);
    auto leaf = Progress::create(10);
    root->addChild(middle, 1);
    middle->addChild(leaf, 2);
    leaf->setCompletedUnitCount(5);
    EXPECT_DOUBLE_EQ(root->fractionCompleted(), 0.5);
    leaf->setCompletedUnitCount(10);
    EXPECT_TRUE(middle->isFinished());
    EXPECT_EQ(root->completedUnitCount(), 1);
    EXPECT_DOUBLE_EQ(root->fractionCompleted(), 1.0);
}

TEST(Progress, UserInfoHoldsTheThroughput) {
    auto progress = Progress::create(1);
    EXPECT_FALSE(progress->userInfoObject(Progress::throughputKey));
    progress->setUserInfoObject(1024.5, Progress::throughputKey);
    EXPECT_EQ(progress->userInfoObject(Progress::throughputKey), 1024.5);
    progress->setUserInfoObject(std::nullopt, Progress::throughputKey);
    EXPECT_FALSE(progress->userInfoObject(Progress::throughputKey));
}

TEST(Progress, ChildrenUpdatedFromManyThreadsAddUp) {
    constexpr int files = 8;
    auto overall = Progress::create(files);
    std::vector<std::shared_ptr<Progress>> children;
    for (int i = 0; i < files; ++i) {
        children.push_back(Progress::create(100));
        overall->addChild(children.back(), 1);
    }
    std::vector<std::thread> threads;
    for (int i = 0; i < files; ++i) {
        threads.emplace_back([child = children[i]] {
            for (int unit = 0; unit <= 100; ++unit) child->setCompletedUnitCount(unit);
        });
    }
    double last = 0;
    while (!overall->isFinished()) {
        double now = overall->fractionCompleted();
        EXPECT_GE(now, last - 1e-12) << "the children only move forward";
        last = now;
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(overall->completedUnitCount(), files);
    EXPECT_DOUBLE_EQ(overall->fractionCompleted(), 1.0);
}

}  // namespace
}  // namespace platform
