#include "speech/model/Signposts.h"

#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace sonoscribe {
namespace {

using platform::log::SignpostEvent;
using platform::log::SignpostEventKind;

struct Recorded {
    SignpostEventKind kind;
    std::string category;
    std::string name;
    uint64_t id;
    std::string message;
};

class RecordingTraceSink : public platform::log::TraceSink {
public:
    void record(const SignpostEvent& event) override {
        std::lock_guard lock(mutex_);
        events.push_back({event.kind, std::string(event.category), std::string(event.name), event.id.value,
                          std::string(event.message)});
    }
    std::vector<Recorded> events;

private:
    std::mutex mutex_;
};

TEST(Signposts, IntervalsReachTheTraceSinkOnlyWhileOneListens) {
    auto disabled = Logging::beginSignpost("EncodeAudio", Logging::AudioEncoding::signposter());
    Logging::endSignpost("EncodeAudio", disabled, Logging::AudioEncoding::signposter());
    EXPECT_FALSE(disabled.isEnded());

    auto sink = std::make_shared<RecordingTraceSink>();
    platform::log::setTraceSink(sink);
    auto& signposter = Logging::TranscribeTask::signposter();
    auto interval = Logging::beginSignpost("TranscribeAudio", signposter);
    Logging::endSignpost("TranscribeAudio", interval, signposter);
    Logging::endSignpost("TranscribeAudio", interval, signposter);
    auto features = Logging::beginSignpost("ExtractAudioFeatures", Logging::FeatureExtractor::signposter());
    platform::log::setTraceSink(nullptr);
    Logging::endSignpost("ExtractAudioFeatures", features, Logging::FeatureExtractor::signposter());

    ASSERT_EQ(sink->events.size(), 4u);
    EXPECT_EQ(sink->events[0].kind, SignpostEventKind::intervalBegin);
    EXPECT_EQ(sink->events[0].category, "TranscribeTask");
    EXPECT_EQ(sink->events[0].name, "TranscribeAudio");
    EXPECT_EQ(sink->events[0].message, "");
    EXPECT_EQ(sink->events[1].kind, SignpostEventKind::intervalEnd);
    EXPECT_EQ(sink->events[1].id, sink->events[0].id);
    EXPECT_EQ(sink->events[1].message, "");
    EXPECT_EQ(sink->events[2].message, "[Error] Interval already ended");
    EXPECT_EQ(sink->events[3].category, "FeatureExtractor");
    EXPECT_NE(sink->events[3].id, sink->events[0].id);
    EXPECT_FALSE(features.isEnded());
    EXPECT_EQ(Logging::AudioEncoding::logger().subsystem(), "com.celvan.sonoscribe");
}

}  // namespace
}  // namespace sonoscribe
