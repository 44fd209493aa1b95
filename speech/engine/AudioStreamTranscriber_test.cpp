#include "speech/engine/AudioStreamTranscriber.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/EngineTestSupport.h"
#include "tests/support/ReplayingAudioProcessor.h"
#include "tests/support/TestLogCapture.h"
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

    explicit LiveRun(int64_t requiredSegments = 0, const ScriptedStages& scripted = stages()) {
        DecodingOptions options;
        options.language = "en";
        // Progress texts without the prompt's tokens, so that the first of a
        // pass is shorter than the placeholder.
        options.skipSpecialTokens = true;
        transcriber = AudioStreamTranscriber::create(
            scripted.audioEncoder, scripted.featureExtractor, scripted.segmentSeeker, scripted.textDecoder,
            scripted.tokenizer, processor, options, requiredSegments, 0.3f, 60, true,
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
    run.processor->heldAtStop = quietNoise(16);
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
    EXPECT_EQ(state.lastBufferSize, 56016)
        << "the audio after the last pass, and what capture held back until its stop, was transcribed on stop";
    ASSERT_EQ(state.confirmedSegments.size(), 3u);
    EXPECT_FLOAT_EQ(state.confirmedSegments[1].start, 1.0f);
    EXPECT_FLOAT_EQ(state.lastConfirmedSegmentEndSeconds, 3.0f);

    std::lock_guard lock(run.mutex);
    std::size_t confirmed = 0;
    bool placeholderKept = false;
    for (const auto& reported : run.states) {
        EXPECT_GE(reported.confirmedSegments.size(), confirmed) << "confirmed segments only grow";
        confirmed = reported.confirmedSegments.size();
        placeholderKept |= std::ranges::find(reported.unconfirmedText, "Waiting for speech...") !=
                           reported.unconfirmedText.end();
    }
    EXPECT_TRUE(placeholderKept) << "a pass after a wait keeps the placeholder it replaced";
    EXPECT_TRUE(state.unconfirmedText.empty()) << "the end of a pass clears what it kept";
}

// As the application runs it, with two trailing segments left unconfirmed:
// of each pass over windows of three segments all but the last two are
// confirmed, and the next pass starts at their end, its segments timed in
// the whole recording.
TEST(AudioStreamTranscriber, KeepsTheLastTwoSegmentsOfAPassUnconfirmed) {
    static const ScriptedStages threeSegments([] {
        testsupport::ScriptedDecoder decoder = scriptedWindow({});
        const int64_t time = testing::englishTokenizer()->specialTokens().timeTokenBegin;
        const std::vector<int64_t> text = helloWorldTokens();
        decoder.script = {decoder.script[0], time,     text[0],  time + 15, time + 15, text[1],
                          time + 30,         time + 30, text[2], time + 45, decoder.endToken};
        return decoder;
    }());
    LiveRun run(2, threeSegments);
    std::exception_ptr loopError;
    std::thread loop = run.startLoop(loopError);
    ASSERT_TRUE(run.waitFor([](const auto& state) { return state.isRecording; }));
    // The first pass has room for one window, the second (from 0.3 s to 3 s)
    // for two; times of the scripted tokens, steps of 0.02 s, come out a
    // little off.
    bool passed = true;
    for (const auto& [confirmed, unconfirmedStart] : {std::pair{1u, 0.3f}, std::pair{5u, 1.5f}}) {
        run.processor->feed(quietNoise(24000));
        passed = run.waitFor([&](const auto& state) {
            return state.confirmedSegments.size() == confirmed && !state.unconfirmedSegments.empty() &&
                   std::abs(state.unconfirmedSegments.front().start - unconfirmedStart) < 1e-4f;
        });
        if (!passed) break;
    }
    run.transcriber->stopStreamTranscription();
    loop.join();
    ASSERT_TRUE(passed);
    ASSERT_FALSE(loopError);
    const auto state = run.transcriber->state();
    const char* texts[] = {" Hello", " Hello", " world", ".", " Hello", " world", "."};
    std::vector<TranscriptionSegment> segments(state.confirmedSegments.begin(), state.confirmedSegments.end());
    segments.insert(segments.end(), state.unconfirmedSegments.begin(), state.unconfirmedSegments.end());
    ASSERT_EQ(segments.size(), 7u);
    for (std::size_t i = 0; i < segments.size(); ++i) {
        EXPECT_EQ(segments[i].text, texts[i]) << i;
        EXPECT_NEAR(segments[i].start, 0.3f * static_cast<float>(i), 1e-4f) << i;
    }
    EXPECT_EQ(state.unconfirmedSegments.size(), 2u);
    EXPECT_NEAR(state.lastConfirmedSegmentEndSeconds, 1.5f, 1e-4f);
}

// The engine's own sample store, filled by the test a step at a time (no
// read sees half a step), counting what is read of it.
class RecordedAudio : public AudioProcessor {
public:
    struct Reads {
        int64_t wholeSampleCopies = 0;
        int64_t samples = 0;
        int64_t energiesForTheVoiceCheck = 0;
    };

    void startRecordingLive(std::optional<uint32_t>, AudioBufferCallback callback) override {
        setAudioBufferCallback(std::move(callback));
    }
    void stopRecording() override {}
    std::vector<float> audioSamples() const override {
        std::lock_guard gate(gate_);
        std::vector<float> samples = AudioProcessor::audioSamples();
        reads_.wholeSampleCopies += 1;
        reads_.samples += static_cast<int64_t>(samples.size());
        return samples;
    }
    int64_t audioSampleCount() const override {
        std::lock_guard gate(gate_);
        return AudioProcessor::audioSampleCount();
    }
    std::vector<float> audioSampleRange(int64_t from, int64_t to) const override {
        std::lock_guard gate(gate_);
        std::vector<float> samples = AudioProcessor::audioSampleRange(from, to);
        reads_.samples += static_cast<int64_t>(samples.size());
        return samples;
    }
    std::vector<float> latestRelativeEnergy(int64_t count) const override {
        std::lock_guard gate(gate_);
        std::vector<float> energy = AudioProcessor::latestRelativeEnergy(count);
        reads_.energiesForTheVoiceCheck += static_cast<int64_t>(energy.size());
        return energy;
    }

    // Appends the step in 0.1 s buffers, as capture would.
    void feed(const std::vector<float>& step) {
        std::lock_guard gate(gate_);
        for (std::size_t at = 0; at < step.size(); at += 1600) {
            processBuffer({step.begin() + static_cast<std::ptrdiff_t>(at),
                           step.begin() + static_cast<std::ptrdiff_t>(std::min(at + 1600, step.size()))});
        }
    }
    Reads reads() const {
        std::lock_guard gate(gate_);
        return reads_;
    }

private:
    mutable std::mutex gate_;
    mutable Reads reads_;
};

// Speech-like loudness: half a second quiet, half a second loud, so that each
// loud onset stands out from the floor.
std::vector<float> pulsedNoise(std::size_t samples) {
    std::vector<float> audio = quietNoise(samples);
    for (std::size_t i = 0; i < samples; ++i) {
        if ((i / 8000) % 2 == 1) audio[i] *= 20;
    }
    return audio;
}

// An hour of dictation, fed two minutes at a time faster than it was spoken,
// each window read as one segment over its 30 s: no poll reads the samples,
// each pass reads only the audio since the last confirmed segment, the same
// at the end of the hour as at its start, and times stay offsets into the
// whole hour.
TEST(AudioStreamTranscriber, PollsAndPassesCostTheSameAfterAnHour) {
    static const ScriptedStages wholeWindows(scriptedWindow(helloWorldTokens(), 30.0f));
    const auto audio = std::make_shared<RecordedAudio>();
    DecodingOptions options;
    options.language = "en";
    // A report copies the state: what grows with the dictation must then be
    // shared, not copied, where the report did not change it (confirmed
    // segments only grow; a report of the current text leaves the energies).
    std::atomic<int64_t> reports{0};
    std::atomic<int64_t> reportsCopyingWhatGrows{0};
    const auto transcriber = AudioStreamTranscriber::create(
        wholeWindows.audioEncoder, wholeWindows.featureExtractor, wholeWindows.segmentSeeker, wholeWindows.textDecoder,
        wholeWindows.tokenizer, audio, options, 0, 0.3f, 60, true,
        [&](const AudioStreamTranscriber::State& old, const AudioStreamTranscriber::State& now) {
            ++reports;
            const bool segmentsCopied = !old.confirmedSegments.empty() && old.confirmedSegments.size() == now.confirmedSegments.size() &&
                                        &old.confirmedSegments[0] != &now.confirmedSegments[0];
            const bool energyCopied = !old.bufferEnergy.empty() && old.currentText != now.currentText &&
                                      &old.bufferEnergy[0] != &now.bufferEnergy[0];
            if (segmentsCopied || energyCopied) ++reportsCopyingWhatGrows;
        });
    std::thread loop([&] { transcriber->startStreamTranscription(); });
    struct StopAtEnd {
        const std::shared_ptr<AudioStreamTranscriber>& transcriber;
        std::thread& loop;
        ~StopAtEnd() {
            transcriber->stopStreamTranscription();
            loop.join();
        }
    } stopAtEnd{transcriber, loop};

    const int64_t stepSeconds = 120;
    const std::vector<float> step = pulsedNoise(static_cast<std::size_t>(stepSeconds * 16000));
    for (int64_t end = stepSeconds; end <= 3600; end += stepSeconds) {
        SCOPED_TRACE(end);
        const RecordedAudio::Reads before = audio->reads();
        audio->feed(step);
        bool passed = false;
        for (int i = 0; i < 3000 && !passed; ++i) {
            passed = transcriber->state().confirmedSegments.size() == static_cast<std::size_t>(end / 30);
            if (!passed) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        ASSERT_TRUE(passed);
        const RecordedAudio::Reads after = audio->reads();
        ASSERT_EQ(after.wholeSampleCopies - before.wholeSampleCopies, 0) << "the whole recording was copied";
        EXPECT_EQ(after.samples - before.samples, static_cast<int64_t>(step.size())) << "a pass read more than it needs";
        EXPECT_LE(after.energiesForTheVoiceCheck - before.energiesForTheVoiceCheck, stepSeconds * 10 + 2);
    }
    EXPECT_EQ(reportsCopyingWhatGrows.load(), 0) << "of " << reports.load() << " reports";
    const AudioStreamTranscriber::State state = transcriber->state();
    ASSERT_EQ(state.confirmedSegments.size(), 120u);
    for (std::size_t i = 0; i < state.confirmedSegments.size(); ++i) {
        EXPECT_FLOAT_EQ(state.confirmedSegments[i].start, 30.0f * static_cast<float>(i)) << i;
        EXPECT_FLOAT_EQ(state.confirmedSegments[i].end, 30.0f * static_cast<float>(i + 1)) << i;
    }
}

// Capture that cannot start is the caller's to hear of, and recording stays
// marked until a stop. A pass that fails is logged and ends the loop, which
// returns as if stopped, leaving recording and capture for the caller to stop.
TEST(AudioStreamTranscriber, AFailedStartThrowsAndAFailedPassEndsTheLoop) {
    {
        LiveRun run;
        run.processor->failStart = true;
        EXPECT_THROW(run.transcriber->startStreamTranscription(), WhisperError);
        EXPECT_TRUE(run.transcriber->state().isRecording);
        EXPECT_NO_THROW(run.transcriber->startStreamTranscription()) << "a start before the stop did something";
    }
    const TestLogCapture log(celvan::Logging::LogLevel::error);
    LiveRun run;
    run.processor->failWindows = true;
    std::exception_ptr loopError;
    std::thread loop = run.startLoop(loopError);
    ASSERT_TRUE(run.waitFor([](const auto& state) { return state.isRecording; }));
    // Starting again while recording does nothing.
    run.transcriber->startStreamTranscription();
    run.processor->feed(quietNoise(24000));
    loop.join();
    EXPECT_FALSE(loopError) << "the pass's failure reached the caller";
    const std::vector<std::string> messages = log.messages();
    EXPECT_NE(std::find(messages.begin(), messages.end(), "Error: Audio samples are nil"), messages.end());
    EXPECT_TRUE(run.processor->recording());
    EXPECT_TRUE(run.transcriber->state().isRecording);
    run.transcriber->stopStreamTranscription();
    EXPECT_FALSE(run.processor->recording());
}

}  // namespace
}  // namespace sonoscribe
