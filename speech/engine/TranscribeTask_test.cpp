#include "speech/engine/TranscribeTask.h"

#include <atomic>
#include <mutex>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "platform/concurrency/CancellationError.h"
#include "platform/concurrency/CancellationToken.h"
#include "tests/support/EngineTestSupport.h"
#include "tests/support/TestLogCapture.h"

namespace sonoscribe {
namespace {

using testing::helloWorldTokens;
using testing::quietNoise;
using testing::ScriptedStages;
using testing::scriptedWindow;

const ScriptedStages& helloStages() {
    static const ScriptedStages stages(scriptedWindow(helloWorldTokens()));
    return stages;
}

TEST(TranscribeTask, WindowsFollowTheAudioLength) {
    struct Case {
        std::size_t samples;
        double windows;
        std::string text;
    };
    const Case cases[] = {
        {0, 0, ""},
        {16000, 0, ""},
        {16001, 1, "Hello world."},
        {320000, 1, "Hello world."},
        {65 * 16000, 3, "Hello world. Hello world. Hello world."},
    };
    for (const Case& c : cases) {
        const auto task = helloStages().task();
        std::vector<std::vector<TranscriptionSegment>> discovered;
        task->setSegmentDiscoveryCallback(
            [&](const std::vector<TranscriptionSegment>& segments) { discovered.push_back(segments); });
        const auto result = task->run(quietNoise(c.samples), std::nullopt, {});
        EXPECT_EQ(result->text(), c.text) << c.samples;
        EXPECT_EQ(result->language(), "en");
        EXPECT_EQ(result->timings().totalDecodingWindows, c.windows) << c.samples;
        EXPECT_EQ(discovered.size(), static_cast<std::size_t>(c.windows));
        EXPECT_EQ(task->progress()->completedUnitCount(), static_cast<int64_t>(c.samples));
        EXPECT_EQ(task->progress()->totalUnitCount(), static_cast<int64_t>(c.samples));
        const auto segments = result->segments();
        for (std::size_t i = 1; i < segments.size(); ++i) {
            EXPECT_GE(segments[i].start, segments[i - 1].end) << c.samples << " segment " << i;
            EXPECT_EQ(segments[i].seek, static_cast<int64_t>(i) * 480000);
        }
    }
}

TEST(TranscribeTask, TemperatureLadderIsComputedInHalfPrecision) {
    struct Case {
        float temperature;
        float increment;
        int64_t count;
        std::vector<float> ladder;
    };
    const Case cases[] = {
        {0.0f, 0.2f, 5, {0.0f, 0.19995117f, 0.39990234f, 0.59960938f, 0.79980469f, 1.0f}},
        {0.5f, 0.25f, 2, {0.5f, 0.75f, 1.0f}},
        {0.0f, 0.2f, 0, {0.0f}},
        {0.3f, 0.2f, -4, {0.30004883f}},
    };
    for (const Case& c : cases) {
        DecodingOptions options;
        options.temperature = c.temperature;
        options.temperatureIncrementOnFallback = c.increment;
        options.temperatureFallbackCount = c.count;
        std::vector<float> ladder;
        for (platform::Float16 value : temperatureLadder(options)) ladder.push_back(static_cast<float>(value));
        EXPECT_EQ(ladder, c.ladder) << c.count;
    }
}

TEST(TranscribeTask, FallsBackUntilTheFirstGoodAttemptAndStoresItsIndex) {
    // Low margins make the greedy first attempt unlikely, while at the
    // second temperature the scripted token takes all the probability; a
    // looping window compresses far beyond the threshold at every one.
    testsupport::ScriptedDecoder unlikely = scriptedWindow(helloWorldTokens());
    unlikely.margins.assign(unlikely.script.size(), 8.0f);
    std::vector<int64_t> loop;
    for (int i = 0; i < 20; ++i) loop.insert(loop.end(), helloWorldTokens().begin(), helloWorldTokens().end());
    struct Case {
        const char* name;
        testsupport::ScriptedDecoder decoder;
        int attemptsPerWindow;
        double fallbacks;
        float temperature;
        std::set<int64_t> windowIds;
    };
    const Case cases[] = {
        {"good at once", scriptedWindow(helloWorldTokens()), 1, 0, 0.0f, {0, 1}},
        {"good at the second attempt", unlikely, 2, 0, 0.2f, {0, 1}},
        {"poor at every attempt", scriptedWindow(loop, 20.0f), 3, 2, 0.4f, {0, -1}},
    };
    for (const Case& c : cases) {
        const ScriptedStages stages(c.decoder);
        const auto task = stages.task();
        std::mutex mutex;
        std::set<int64_t> windowIds;
        TestLogCapture log(celvan::Logging::LogLevel::info);
        DecodingOptions options;
        options.temperatureFallbackCount = 2;
        const auto result = task->run(quietNoise(35 * 16000), options, [&](const TranscriptionProgress& progress) {
            std::lock_guard lock(mutex);
            windowIds.insert(progress.windowId);
            return std::optional<bool>();
        });

        const TranscriptionTimings timings = result->timings();
        EXPECT_EQ(timings.totalDecodingWindows, 2) << c.name;
        EXPECT_EQ(timings.totalDecodingFallbacks, c.fallbacks) << c.name;
        EXPECT_EQ(timings.decodingFallback > 0, c.attemptsPerWindow > 1) << c.name;
        for (const TranscriptionSegment& segment : result->segments()) {
            EXPECT_FLOAT_EQ(segment.temperature, c.temperature) << c.name;
        }
        int attempts = 0;
        for (const std::string& message : log.messages()) attempts += message.rfind("Decoding Temperature: ", 0) == 0;
        EXPECT_EQ(attempts, 2 * c.attemptsPerWindow) << c.name;
        // The second window's id is taken after the first window's
        // fallbacks; its reports arrive off the loop.
        for (int i = 0; i < 200; ++i) {
            {
                std::lock_guard lock(mutex);
                if (windowIds.size() >= c.windowIds.size()) break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        std::lock_guard lock(mutex);
        EXPECT_EQ(windowIds, c.windowIds) << c.name;
    }
}

// A seeker whose answer can keep the seek where the window began, and can
// find every window, or the one at one seek, silent.
class AlteredSeeker : public SegmentSeeker {
public:
    std::pair<int64_t, std::optional<std::vector<TranscriptionSegment>>> findSeekPointAndSegments(
        const DecodingResult& result, const DecodingOptions& options, int64_t allSegmentsCount, int64_t currentSeek,
        int64_t segmentSize, int64_t sampleRate, int64_t timeToken, int64_t specialToken,
        const WhisperTokenizer& tokenizer) override {
        auto answer = SegmentSeeker::findSeekPointAndSegments(result, options, allSegmentsCount, currentSeek,
                                                              segmentSize, sampleRate, timeToken, specialToken,
                                                              tokenizer);
        if (silent || silentAt == currentSeek) answer.second.reset();
        if (stuck) answer.first = currentSeek;
        return answer;
    }
    bool stuck = false;
    bool silent = false;
    std::optional<int64_t> silentAt;
};

TEST(TranscribeTask, EveryWindowMovesOnAndClipsStayInsideTheAudio) {
    struct Case {
        const char* name;
        bool stuck;
        bool silent;
        std::optional<int64_t> maxWindowSeek;
        std::vector<float> clips;
        double windows;
    };
    const Case cases[] = {
        {"seek that does not move", true, false, std::nullopt, {}, 3},
        {"silent windows that do not move", true, true, std::nullopt, {}, 0},
        {"zero maxWindowSeek", false, false, 0, {}, 3},
        {"negative maxWindowSeek", false, false, -5, {}, 3},
        {"clip past the audio", false, false, std::nullopt, {100.0f}, 0},
        {"clip end past the audio", false, false, std::nullopt, {40.0f, 500.0f}, 1},
    };
    for (const Case& c : cases) {
        auto seeker = std::make_shared<AlteredSeeker>();
        seeker->stuck = true;
        seeker->silent = c.silent;
        const auto task = helloStages().task(c.stuck ? seeker : nullptr);
        DecodingOptions options;
        options.maxWindowSeek = c.maxWindowSeek;
        options.clipTimestamps = c.clips;
        const auto result = task->run(quietNoise(65 * 16000), options, {});
        EXPECT_EQ(result->timings().totalDecodingWindows, c.windows) << c.name;
        EXPECT_LE(task->progress()->completedUnitCount(), 65 * 16000) << c.name;
    }
}

TEST(TranscribeTask, AWindowAfterASilentOneDecodesFromAFreshPrompt) {
    auto seeker = std::make_shared<AlteredSeeker>();
    seeker->silentAt = 0;
    const auto task = helloStages().task(seeker);
    const auto result = task->run(quietNoise(65 * 16000), std::nullopt, {});
    EXPECT_EQ(result->text(), "Hello world. Hello world.");
    EXPECT_EQ(result->timings().totalDecodingWindows, 2);
    ASSERT_EQ(result->segments().size(), 2u);
    EXPECT_FLOAT_EQ(result->segments()[0].start, 30.0f);
}

TEST(TranscribeTask, WordTimingsMoveTheNextWindowToTheLastWordsEnd) {
    testsupport::ScriptedDecoder decoder = scriptedWindow(helloWorldTokens());
    decoder.alignmentFramesPerToken = 20;
    const ScriptedStages stages(decoder);
    auto seeker = std::make_shared<AlteredSeeker>();
    seeker->stuck = true;
    const auto task = stages.task(seeker);
    DecodingOptions options;
    options.wordTimestamps = true;
    const auto result = task->run(quietNoise(10 * 16000), options, {});
    const auto segments = result->segments();
    ASSERT_GE(segments.size(), 2u);
    ASSERT_TRUE(segments[0].words);
    EXPECT_GT(segments[0].end, 0.0f);
    EXPECT_LT(segments[0].end, 10.0f);
    EXPECT_EQ(segments[1].seek, static_cast<int64_t>(segments[0].end * 16000.0f));
}

TEST(TranscribeTask, ResultTakesTheDetectedOrGivenLanguage) {
    const auto& tokenizer = *testing::multilingualTokenizer();
    testsupport::ScriptedDecoder decoder = scriptedWindow(helloWorldTokens(), 2.0f, 51865);
    decoder.script.insert(decoder.script.begin() + 1, *tokenizer.convertTokenToId("<|de|>"));
    const ScriptedStages stages(decoder);
    struct Case {
        std::optional<std::string> language;
        std::string expected;
    };
    for (const Case& c : {Case{std::nullopt, "de"}, Case{"fr", "fr"}}) {
        DecodingOptions options;
        options.language = c.language;
        options.detectLanguage = true;
        EXPECT_EQ(stages.task()->run(quietNoise(5 * 16000), options, {})->language(), c.expected);
    }
}

// A mel stage that counts the windows it is asked for.
class CountingFeatureExtractor : public FeatureExtractor {
public:
    std::shared_ptr<FeatureExtractorOutputType> logMelSpectrogram(const AudioProcessorOutputType& fromAudio) override {
        ++calls;
        return FeatureExtractor::logMelSpectrogram(fromAudio);
    }
    std::atomic<int> calls{0};
};

// Cancels its own run once a window's audio is ready.
class CancellingTask : public TranscribeTask {
public:
    using TranscribeTask::TranscribeTask;
    void windowPreprocess(const AudioProcessorOutputType&, int64_t, int64_t) override {
        platform::currentCancellationToken()->cancel();
    }
};

TEST(TranscribeTask, ACancelledRunStopsBeforeTheMelStage) {
    const auto mel = std::make_shared<CountingFeatureExtractor>();
    mel->setModel(helloStages().featureExtractor->model());
    CancellingTask task(TranscriptionTimings(), nullptr, nullptr, helloStages().audioEncoder, mel,
                        helloStages().segmentSeeker, helloStages().textDecoder, helloStages().tokenizer);
    const platform::CancellationToken token;
    const platform::CancellationScope scope(token);
    EXPECT_THROW(task.run(quietNoise(5 * 16000), std::nullopt, {}), platform::CancellationError);
    EXPECT_EQ(mel->calls.load(), 0);
    EXPECT_EQ(task.timings().totalAudioProcessingRuns, 1);
}

TEST(TranscribeTask, FinalTextKeepsOnlyTextTokens) {
    const auto task = helloStages().task();
    const SpecialTokens& special = helloStages().tokenizer->specialTokens();
    std::vector<int64_t> tokens{special.startOfTranscriptToken, special.timeTokenBegin + 3};
    tokens.insert(tokens.end(), helloWorldTokens().begin(), helloWorldTokens().end());
    tokens.push_back(special.endToken);
    const auto result = task->finalizeTranscriptionResult(tokens, {}, std::nullopt, TranscriptionTimings());
    EXPECT_EQ(result->text(), "Hello world.");
    EXPECT_EQ(result->language(), "en");
    EXPECT_EQ(result->seekTime(), std::nullopt);
}

}  // namespace
}  // namespace sonoscribe
