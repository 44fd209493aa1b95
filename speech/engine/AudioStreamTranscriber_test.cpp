#include "speech/engine/AudioStreamTranscriber.h"

#include <atomic>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/EngineTestSupport.h"
#include "speech/engine/ReplayingAudioProcessor.h"
#include "speech/model/WhisperError.h"

namespace sonoscribe {
namespace {

using testing::helloWorldTokens;
using testing::quietNoise;
using testing::ScriptedStages;
using testing::scriptedWindow;

const ScriptedStages& stages() {
    static const ScriptedStages scripted(scriptedWindow(helloWorldTokens(), 1.0f));
    return scripted;
}

struct LiveRun {
    std::shared_ptr<testing::ReplayingAudioProcessor> processor = std::make_shared<testing::ReplayingAudioProcessor>();
    std::mutex mutex;
    std::vector<AudioStreamTranscriber::State> states;
    std::shared_ptr<AudioStreamTranscriber> transcriber;

    explicit LiveRun(int64_t requiredSegments = 0) {
        DecodingOptions options;
        options.language = "en";
        transcriber = AudioStreamTranscriber::create(
            stages().audioEncoder, stages().featureExtractor, stages().segmentSeeker, stages().textDecoder,
            stages().tokenizer, processor, options, requiredSegments, 0.3f, 60, true,
            [this](const AudioStreamTranscriber::State&, const AudioStreamTranscriber::State& state) {
                std::lock_guard lock(mutex);
                states.push_back(state);
            });
    }

    // Runs the transcription loop on a thread of its own; what it throws
    // lands in `error`.
    std::thread startLoop(std::exception_ptr& error) {
        return std::thread([this, &error] {
            try {
                transcriber->startStreamTranscription();
            } catch (...) {
                error = std::current_exception();
            }
        });
    }

    // Waits until the transcriber's state satisfies the condition.
    template <class Condition>
    bool waitFor(Condition condition) {
        for (int i = 0; i < 1000; ++i) {
            if (condition(transcriber->state())) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
};

TEST(AudioStreamTranscriber, ShouldStopEarlyOnRepetitionOrUnlikelyTokens) {
    std::vector<int64_t> loop;
    for (int i = 0; i < 30; ++i) loop.insert(loop.end(), {11, 22});
    std::vector<int64_t> varied;
    for (int64_t i = 0; i < 60; ++i) varied.push_back(1000 + i * 37);
    auto progress = [](std::vector<int64_t> tokens, std::optional<float> avgLogprob) {
        TranscriptionProgress report;
        report.tokens = std::move(tokens);
        report.avgLogprob = avgLogprob;
        return report;
    };
    auto options = [](std::optional<float> compression, std::optional<float> logProb) {
        DecodingOptions value;
        value.compressionRatioThreshold = compression;
        value.logProbThreshold = logProb;
        return value;
    };
    std::vector<int64_t> longLoop = loop;
    longLoop.push_back(11);
    struct Case {
        const char* name;
        TranscriptionProgress progress;
        DecodingOptions options;
        int64_t window;
        std::optional<bool> expected;
    };
    const Case cases[] = {
        {"exactly the window is not checked", progress(loop, std::nullopt), options(2.4f, -1.0f), 60, std::nullopt},
        {"a repeating window stops", progress(longLoop, std::nullopt), options(2.4f, -1.0f), 60, false},
        {"no threshold, no compression test", progress(longLoop, std::nullopt), options(std::nullopt, -1.0f), 60,
         std::nullopt},
        {"varied tokens go on", progress(varied, -0.5f), options(2.4f, -1.0f), 10, std::nullopt},
        {"unlikely tokens stop", progress(varied, -1.5f), options(2.4f, -1.0f), 60, false},
        {"equal log-probability goes on", progress(varied, -1.0f), options(2.4f, -1.0f), 60, std::nullopt},
        {"no log-probability threshold", progress(varied, -9.0f), options(2.4f, std::nullopt), 60, std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(AudioStreamTranscriber::shouldStopEarly(c.progress, c.options, c.window), c.expected) << c.name;
    }
}

TEST(AudioStreamTranscriber, StartsAPassOnlyAfterMoreThanOneSecondOfNewAudio) {
    LiveRun run;
    std::exception_ptr loopError;
    std::thread loop = run.startLoop(loopError);
    ASSERT_TRUE(run.waitFor([](const auto& state) { return state.isRecording; }));
    run.processor->feed(quietNoise(16000));
    // Long enough for several polls, each of which must leave exactly one
    // second alone.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(run.transcriber->state().lastBufferSize, 0);
    run.processor->feed(quietNoise(1));
    EXPECT_TRUE(run.waitFor([](const auto& state) { return state.lastBufferSize == 16001; }));
    run.transcriber->stopStreamTranscription();
    loop.join();
    EXPECT_FALSE(loopError);
}

TEST(AudioStreamTranscriber, ConfirmsGrowingSegmentsAndTranscribesTheLastAudioAfterStop) {
    LiveRun run;
    std::exception_ptr loopError;
    std::thread loop = run.startLoop(loopError);
    ASSERT_TRUE(run.waitFor([](const auto& state) { return state.isRecording; }));
    ASSERT_TRUE(run.waitFor([](const auto& state) { return state.currentText == "Waiting for speech..."; }));
    EXPECT_TRUE(run.processor->recording());

    run.processor->feed(quietNoise(24000));
    ASSERT_TRUE(run.waitFor([](const auto& state) { return state.confirmedSegments.size() == 1; }));
    run.processor->feed(quietNoise(24000));
    ASSERT_TRUE(run.waitFor([](const auto& state) { return state.confirmedSegments.size() == 2; }));
    // Half a second more, less than a pass waits for, then the stop.
    run.processor->feed(quietNoise(8000));
    run.transcriber->stopStreamTranscription();
    loop.join();
    ASSERT_FALSE(loopError);
    EXPECT_FALSE(run.processor->recording());

    const auto state = run.transcriber->state();
    EXPECT_FALSE(state.isRecording);
    EXPECT_EQ(state.lastBufferSize, 56000) << "the audio after the last pass was transcribed on stop";
    ASSERT_EQ(state.confirmedSegments.size(), 3u);
    EXPECT_FLOAT_EQ(state.confirmedSegments[1].start, 1.0f);
    EXPECT_FLOAT_EQ(state.lastConfirmedSegmentEndSeconds, 3.0f);

    std::lock_guard lock(run.mutex);
    std::size_t confirmed = 0;
    for (const auto& reported : run.states) {
        EXPECT_GE(reported.confirmedSegments.size(), confirmed) << "confirmed segments only grow";
        confirmed = reported.confirmedSegments.size();
        for (const std::string& text : reported.unconfirmedText) {
            EXPECT_NE(text, "Waiting for speech...") << "the placeholder is never transcript";
        }
    }
}

TEST(AudioStreamTranscriber, FailuresStopCaptureAndReachTheCaller) {
    {
        LiveRun run;
        run.processor->failStart = true;
        EXPECT_THROW(run.transcriber->startStreamTranscription(), WhisperError);
    }
    LiveRun run;
    run.processor->failWindows = true;
    std::exception_ptr loopError;
    std::thread loop = run.startLoop(loopError);
    ASSERT_TRUE(run.waitFor([](const auto& state) { return state.isRecording; }));
    // Starting again while recording does nothing.
    run.transcriber->startStreamTranscription();
    run.processor->feed(quietNoise(24000));
    loop.join();
    ASSERT_TRUE(loopError);
    try {
        std::rethrow_exception(loopError);
    } catch (const WhisperError& error) {
        EXPECT_EQ(std::string(error.what()), "Audio samples are nil");
    }
    EXPECT_FALSE(run.processor->recording());
    EXPECT_FALSE(run.transcriber->state().isRecording);
}

}  // namespace
}  // namespace sonoscribe
