#include "mlcore/foundation/Logging.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <regex>
#include <thread>
#include <vector>

namespace celvan {
namespace {

using platform::log::LogType;
using Level = Logging::LogLevel;

class RecordingSink : public platform::log::LogSink {
public:
    bool isEnabled(std::string_view, std::string_view, LogType) const override { return true; }
    void write(const platform::log::LogMessage& m) override {
        std::lock_guard lock(mutex_);
        subsystems.emplace_back(m.subsystem);
        categories.emplace_back(m.category);
        types.push_back(m.type);
        texts.emplace_back(m.text);
    }
    std::size_t count() {
        std::lock_guard lock(mutex_);
        return texts.size();
    }
    std::mutex mutex_;
    std::vector<std::string> subsystems, categories, texts;
    std::vector<LogType> types;
};

class LoggingTest : public ::testing::Test {
protected:
    void SetUp() override {
        previous_ = platform::log::setLogSink(sink_);
        Logging::updateLogLevel(Level::none);
        Logging::updateCallback(nullptr);
    }
    void TearDown() override {
        Logging::updateLogLevel(Level::none);
        Logging::updateCallback(nullptr);
        platform::log::setLogSink(previous_);
    }
    std::shared_ptr<RecordingSink> sink_ = std::make_shared<RecordingSink>();
    std::shared_ptr<platform::log::LogSink> previous_;
};

TEST_F(LoggingTest, StartsSilentEvenWithACallback) {
    int calls = 0;
    Logging::updateCallback([&](const std::string&) { ++calls; });
    Logging::debug("a");
    Logging::info("b");
    Logging::error("c");
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(sink_->count(), 0u);
    EXPECT_FALSE(Logging::isLoggingEnabled());
}

TEST_F(LoggingTest, LevelDecidesWhichTypesPassAndSystemLogGetsTheOriginalType) {
    const LogType types[] = {LogType::debug, LogType::info, LogType::defaultType, LogType::error, LogType::fault};
    const struct {
        Level level;
        bool passes[5];
    } cases[] = {
        {Level::debug, {true, true, true, true, true}},
        {Level::info, {false, true, true, true, true}},
        {Level::error, {false, false, false, true, true}},
        {Level::none, {false, false, false, false, false}},
    };
    for (const auto& c : cases) {
        auto sink = std::make_shared<RecordingSink>();
        platform::log::setLogSink(sink);
        Logging::updateLogLevel(c.level);
        std::vector<LogType> expected;
        for (int i = 0; i < 5; ++i) {
            Logging::shared().log(types[i], " ", std::nullopt, "m", i);
            if (c.passes[i]) expected.push_back(types[i]);
        }
        EXPECT_EQ(sink->types, expected) << static_cast<int>(c.level);
    }
    platform::log::setLogSink(sink_);
    Logging::updateLogLevel(Level::info);
    Logging::info("x");
    ASSERT_EQ(sink_->count(), 1u);
    EXPECT_EQ(sink_->subsystems.back(), "com.celvan.celvancore");
    EXPECT_EQ(sink_->categories.back(), "Celvan");
}

TEST_F(LoggingTest, EnabledChecksFollowTheLevel) {
    const struct {
        Level level;
        bool any, debug, info, error;
    } cases[] = {
        {Level::debug, true, true, true, true},
        {Level::info, true, false, true, true},
        {Level::error, true, false, false, true},
        {Level::none, false, false, false, false},
    };
    for (const auto& c : cases) {
        Logging::updateLogLevel(c.level);
        EXPECT_EQ(Logging::isLoggingEnabled(), c.any);
        EXPECT_EQ(Logging::isLoggingEnabled(Level::debug), c.debug);
        EXPECT_EQ(Logging::isLoggingEnabled(Level::info), c.info);
        EXPECT_EQ(Logging::isLoggingEnabled(Level::error), c.error);
    }
}

enum class Stage { encode };
std::string description(Stage) { return "encode-stage"; }

struct Described {
    std::string description() const { return "described"; }
};

struct Counted {
    inline static int renderings = 0;
};
std::string description(const Counted&) {
    ++Counted::renderings;
    return "counted";
}

TEST_F(LoggingTest, JoinsItemRenderingsAndRendersNothingForDroppedMessages) {
    std::vector<std::string> messages;
    Logging::updateCallback([&](const std::string& m) { messages.push_back(m); });
    Logging::updateLogLevel(Level::debug);
    Logging::debug("a", 1, 2.5);
    Logging::shared().log(LogType::info, " ", "!", "a", 1, 2.5);
    Logging::shared().log(LogType::info, " ", std::nullopt);
    Logging::shared().log(LogType::info, " ", "!");
    Logging::shared().log(LogType::info, ", ", std::nullopt, std::string("s"), true, 'c', 0.1f, 3.0, -7L, Stage::encode,
                           Described{});
    Logging::error(std::runtime_error("boom"));
    EXPECT_EQ(messages, (std::vector<std::string>{"a 1 2.5", "a 1 2.5!", "", "!",
                                                  "s, true, c, 0.1, 3.0, -7, encode-stage, described", "boom"}));

    Logging::updateLogLevel(Level::error);
    Logging::info(Counted{});
    EXPECT_EQ(Counted::renderings, 0);
    Logging::error(Counted{});
    EXPECT_EQ(Counted::renderings, 1);
}

TEST_F(LoggingTest, CallbackReplacesTheSystemLogAndMayLogAgain) {
    Logging::updateLogLevel(Level::info);
    std::vector<std::string> messages;
    Logging::updateCallback([&](const std::string& m) {
        messages.push_back(m);
        if (m == "outer") Logging::info("inner");
    });
    Logging::info("outer");
    EXPECT_EQ(messages, (std::vector<std::string>{"outer", "inner"}));
    EXPECT_EQ(sink_->count(), 0u);

    Logging::updateCallback(nullptr);
    Logging::info("to the system log");
    ASSERT_EQ(sink_->count(), 1u);
    EXPECT_EQ(sink_->texts[0], "to the system log");
    EXPECT_EQ(messages.size(), 2u);
}

TEST(LoggingLevel, BuildsFromRawValuesOneToFourAndOrders) {
    for (int raw : {-1, 0, 5, 100}) EXPECT_FALSE(Logging::logLevelFromRawValue(raw).has_value()) << raw;
    EXPECT_EQ(Logging::logLevelFromRawValue(1), Level::debug);
    EXPECT_EQ(Logging::logLevelFromRawValue(4), Level::none);
    EXPECT_TRUE(Level::debug < Level::info);
    EXPECT_TRUE(Level::error < Level::none);
    EXPECT_FALSE(Level::info < Level::info);
}

TEST(LoggingFormat, TimeLinesHaveFixedWidthColumns) {
    const struct {
        double time, runs, duration;
        const char* text;
    } cases[] = {
        {0.5, 10, 2000, "  500.00 ms /     10 runs (   50.00 ms/run) 25.00%"},
        {1.25, 0, 5000, " 1250.00 ms /      0 runs (    0.00 ms/run) 25.00%"},
        {1.0, 1, 0, " 1000.00 ms /      1 runs ( 1000.00 ms/run)   inf%"},
        {0.0, 1, 0, "    0.00 ms /      1 runs (    0.00 ms/run)   nan%"},
    };
    for (const auto& c : cases) EXPECT_EQ(Logging::formatTimeWithPercentage(c.time, c.runs, c.duration), c.text);
}

TEST_F(LoggingTest, MemoryUsageIsLoggedInMegabytesAtDebugLevel) {
    EXPECT_GT(Logging::getMemoryUsage(), 0u);
    std::vector<std::string> messages;
    Logging::updateCallback([&](const std::string& m) { messages.push_back(m); });
    Logging::updateLogLevel(Level::info);
    Logging::logCurrentMemoryUsage("after load");
    EXPECT_TRUE(messages.empty());
    Logging::updateLogLevel(Level::debug);
    Logging::logCurrentMemoryUsage("after load");
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(std::regex_match(messages[0], std::regex("after load - Memory usage: [1-9][0-9]* MB"))) << messages[0];
}

TEST_F(LoggingTest, ConcurrentLoggingWhileLevelAndCallbackChange) {
    std::atomic<int> delivered{0};
    Logging::updateLogLevel(Level::debug);
    std::vector<std::thread> loggers;
    for (int t = 0; t < 4; ++t) {
        loggers.emplace_back([] {
            for (int i = 0; i < 500; ++i) Logging::info("message", i);
        });
    }
    std::thread changer([&] {
        for (int i = 0; i < 200; ++i) {
            Logging::updateLogLevel(i % 2 ? Level::info : Level::debug);
            Logging::updateCallback([&](const std::string&) { ++delivered; });
            Logging::updateCallback(nullptr);
        }
    });
    for (auto& thread : loggers) thread.join();
    changer.join();
    EXPECT_EQ(delivered.load() + static_cast<int>(sink_->count()), 2000);
}

} // namespace
} // namespace celvan
