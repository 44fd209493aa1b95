#include "platform/log/Signposter.h"
#include "platform/log/SystemLog.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace platform::log {
namespace {

struct Written {
    std::string subsystem, category;
    LogType type;
    std::string text;
};

class RecordingLogSink : public LogSink {
public:
    explicit RecordingLogSink(LogType lowestEnabled = LogType::debug) : lowestEnabled_(lowestEnabled) {}
    bool isEnabled(std::string_view, std::string_view, LogType type) const override { return type >= lowestEnabled_; }
    void write(const LogMessage& m) override {
        std::lock_guard lock(mutex_);
        written_.push_back({std::string(m.subsystem), std::string(m.category), m.type, std::string(m.text)});
    }
    std::vector<Written> written() const {
        std::lock_guard lock(mutex_);
        return written_;
    }

private:
    LogType lowestEnabled_;
    mutable std::mutex mutex_;
    std::vector<Written> written_;
};

struct Recorded {
    SignpostEventKind kind;
    std::string category, name;
    SignpostID id;
    std::string message;
};

class RecordingTraceSink : public TraceSink {
public:
    void record(const SignpostEvent& e) override {
        std::lock_guard lock(mutex_);
        events.push_back({e.kind, std::string(e.category), std::string(e.name), e.id, std::string(e.message)});
    }
    std::mutex mutex_;
    std::vector<Recorded> events;
};

TEST(SystemLog, ReplacedSinkReceivesSubsystemCategoryAndTypeOfEnabledMessages) {
    const auto sink = std::make_shared<RecordingLogSink>(LogType::info);
    const auto previous = setLogSink(sink);
    const Logger logger("com.example.test", "Unit");
    logger.log(LogType::debug, "dropped");
    logger.log(LogType::info, "kept");
    logger.log(LogType::fault, "%s %d not a format");
    EXPECT_FALSE(logger.isEnabled(LogType::debug));
    EXPECT_TRUE(logger.isEnabled(LogType::error));
    setLogSink(previous);
    logger.log(LogType::error, "after the sink is gone");

    const auto written = sink->written();
    ASSERT_EQ(written.size(), 2u);
    EXPECT_EQ(written[0].subsystem, "com.example.test");
    EXPECT_EQ(written[0].category, "Unit");
    EXPECT_EQ(written[0].type, LogType::info);
    EXPECT_EQ(written[0].text, "kept");
    EXPECT_EQ(written[1].type, LogType::fault);
    EXPECT_EQ(written[1].text, "%s %d not a format");
}

TEST(SystemLog, EmptySinkRestoresTheSystemLog) {
    const auto previous = setLogSink(std::make_shared<RecordingLogSink>());
    setLogSink(nullptr);
    EXPECT_NE(dynamic_cast<SyslogSink*>(currentLogSink().get()), nullptr);
    setLogSink(previous);
}

TEST(Signposter, EmitsNothingWithoutListenerButStillHandsOutStates) {
    setTraceSink(nullptr);
    Signposter signposter(Logger("com.example.test", "Stage"));
    EXPECT_FALSE(signposter.isEnabled());
    const SignpostIntervalState state = signposter.beginInterval("Decode", signposter.makeSignpostID());
    signposter.endInterval("Decode", state);
    EXPECT_FALSE(state.isEnded());

    const auto trace = std::make_shared<RecordingTraceSink>();
    setTraceSink(trace);
    signposter.endInterval("Decode", state);
    setTraceSink(nullptr);
    ASSERT_EQ(trace->events.size(), 1u);
    EXPECT_EQ(trace->events[0].message, "");
}

TEST(Signposter, PairsBeginAndEndAndFlagsASecondEnd) {
    const auto trace = std::make_shared<RecordingTraceSink>();
    setTraceSink(trace);
    Signposter signposter(Logger("com.example.test", "Stage"));
    const SignpostID first = signposter.makeSignpostID();
    const SignpostID second = signposter.makeSignpostID();
    EXPECT_NE(first, second);
    const SignpostIntervalState state = signposter.beginInterval("EncodeAudio", first);
    const SignpostIntervalState copy = state;
    signposter.endInterval("EncodeAudio", state);
    signposter.endInterval("EncodeAudio", copy);
    setTraceSink(nullptr);

    ASSERT_EQ(trace->events.size(), 3u);
    EXPECT_EQ(trace->events[0].kind, SignpostEventKind::intervalBegin);
    EXPECT_EQ(trace->events[0].category, "Stage");
    EXPECT_EQ(trace->events[0].name, "EncodeAudio");
    EXPECT_EQ(trace->events[1].kind, SignpostEventKind::intervalEnd);
    EXPECT_EQ(trace->events[1].id, first);
    EXPECT_EQ(trace->events[1].message, "");
    EXPECT_EQ(trace->events[2].message, "[Error] Interval already ended");
}

TEST(SystemLog, ConcurrentLoggingAndSinkSwapsLoseNothingTheSinkAccepted) {
    const auto sink = std::make_shared<RecordingLogSink>();
    const auto previous = setLogSink(sink);
    const auto trace = std::make_shared<RecordingTraceSink>();
    setTraceSink(trace);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            const Logger logger("com.example.test", "Thread" + std::to_string(t));
            Signposter signposter(logger);
            for (int i = 0; i < 200; ++i) {
                logger.log(LogType::info, std::to_string(i));
                signposter.endInterval("Step", signposter.beginInterval("Step", signposter.makeSignpostID()));
            }
        });
    }
    std::thread swapper([&] {
        for (int i = 0; i < 50; ++i) setTraceSink(trace);
    });
    for (auto& thread : threads) thread.join();
    swapper.join();
    setTraceSink(nullptr);
    setLogSink(previous);
    EXPECT_EQ(sink->written().size(), 800u);
    EXPECT_EQ(trace->events.size(), 1600u);
}

} // namespace
} // namespace platform::log
