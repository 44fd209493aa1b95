#include "mlcore/foundation/ConcurrencyUtilities.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/foundation/ProcessInfo.h"

namespace celvan {
namespace {

TEST(UnfairLock, ABodyThatThrowsLeavesTheLockFree) {
    UnfairLock lock;
    EXPECT_THROW(lock.withLock([]() -> int { throw std::runtime_error("body failed"); }), std::runtime_error);
    EXPECT_EQ(lock.withLock([] { return 3; }), 3);

    int counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 10000; ++i) lock.withLock([&] { ++counter; });
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(counter, 40000);
}

struct Timings {
    PropertyLock<double> total;
    PropertyLock<std::optional<std::string>> language;
    PropertyLock<std::vector<int>> tokens;
};
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(Timings, total, language, tokens)

TEST(PropertyLock, CodesAsTheBareValue) {
    EXPECT_EQ(nlohmann::json(PropertyLock<std::vector<int>>({1, 2, 3})).dump(), "[1,2,3]");
    EXPECT_EQ(nlohmann::json::parse("[4,5]").get<PropertyLock<std::vector<int>>>().wrappedValue(),
              (std::vector<int>{4, 5}));
    EXPECT_EQ(nlohmann::ordered_json(PropertyLock<std::string>("en")).dump(), "\"en\"");

    Timings timings{PropertyLock<double>(1.5), PropertyLock<std::optional<std::string>>(std::nullopt),
                    PropertyLock<std::vector<int>>({7})};
    const nlohmann::json encoded = timings;
    EXPECT_EQ(encoded, nlohmann::json::parse(R"({"total":1.5,"language":null,"tokens":[7]})"));

    Timings decoded = nlohmann::json::parse(R"({"total":2.0,"language":"de","tokens":[]})").get<Timings>();
    EXPECT_EQ(decoded.total.wrappedValue(), 2.0);
    EXPECT_EQ(decoded.language.wrappedValue(), std::optional<std::string>("de"));
    EXPECT_TRUE(decoded.tokens.wrappedValue().empty());
}

TEST(PropertyLock, DecodingErrorsPassOn) {
    for (const char* text : {R"("text")", R"({"a":1})", "[1,\"x\"]", "null"}) {
        EXPECT_THROW(nlohmann::json::parse(text).get<PropertyLock<std::vector<int>>>(), nlohmann::json::exception)
            << text;
    }
}

TEST(PropertyLock, CopiesHoldTheirOwnValueButShareTheLock) {
    PropertyLock<int> original(1);
    PropertyLock<int> copy = original;
    copy.setWrappedValue(2);
    EXPECT_EQ(original.wrappedValue(), 1);
    EXPECT_EQ(copy.wrappedValue(), 2);
    EXPECT_TRUE(copy.sharesLockWith(original));
    EXPECT_FALSE(PropertyLock<int>(1).sharesLockWith(original));

    PropertyLock<int> assigned(5);
    assigned = original;
    EXPECT_TRUE(assigned.sharesLockWith(original));
    EXPECT_EQ(assigned.wrappedValue(), 1);
}

TEST(PropertyLock, WithLockMakesAReadModifyWriteOneStep) {
    PropertyLock<int> counter(0);
    PropertyLock<std::vector<int>> log;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 5000; ++i) {
                counter.withLock([](int& value) { ++value; });
                log.setWrappedValue({t, i});
                EXPECT_EQ(log.wrappedValue().size(), 2u);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(counter.wrappedValue(), 20000);
}

TEST(WeakSendableWrapper, ReadsAsNoneOnceTheObjectIsGone) {
    auto object = std::make_shared<std::string>("processor");
    WeakSendableWrapper<std::string> wrapper(object);
    EXPECT_EQ(wrapper.value(), object);
    EXPECT_EQ(object.use_count(), 1) << "the wrapper does not keep it alive";

    auto replacement = std::make_shared<std::string>("engine");
    wrapper.setValue(replacement);
    EXPECT_EQ(*wrapper.value(), "engine");
    replacement.reset();
    EXPECT_EQ(wrapper.value(), nullptr);
    EXPECT_EQ(*object, "processor");
}

TEST(EarlyStopActor, FlagsLiveFromSetUntilRemove) {
    EarlyStopActor actor;
    const platform::UUID run;
    const platform::UUID other;
    EXPECT_FALSE(actor.get(run));
    EXPECT_EQ(actor.remove(run), std::nullopt);

    actor.set(true, run);
    actor.set(false, other);
    EXPECT_TRUE(actor.get(run));
    EXPECT_FALSE(actor.get(other));
    actor.set(false, run);
    EXPECT_FALSE(actor.get(run));
    actor.set(true, run);

    EXPECT_EQ(actor.remove(run), std::optional<bool>(true));
    EXPECT_FALSE(actor.get(run));
    EXPECT_EQ(actor.remove(run), std::nullopt);
    EXPECT_EQ(actor.remove(other), std::optional<bool>(false));
}

TEST(EarlyStopActor, RunsOnManyThreadsKeepTheirOwnFlags) {
    EarlyStopActor actor;
    std::vector<std::thread> threads;
    std::atomic<int> mismatches{0};
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 500; ++i) {
                const platform::UUID run;
                const bool flag = (t + i) % 2 == 0;
                actor.set(flag, run);
                if (actor.get(run) != flag || actor.remove(run) != std::optional<bool>(flag)) ++mismatches;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(mismatches, 0);
}

TEST(ConcurrencyUtilities, ActiveProcessorCountIsThePlatformsCount) {
    EXPECT_GE(ConcurrencyUtilities::activeProcessorCount(), 1);
    EXPECT_EQ(ConcurrencyUtilities::activeProcessorCount(), platform::ProcessInfo::activeProcessorCount());
}

}  // namespace
}  // namespace celvan
