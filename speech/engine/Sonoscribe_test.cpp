#include "speech/engine/Sonoscribe.h"

#include <atomic>
#include <fstream>
#include <mutex>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "platform/concurrency/CancellationError.h"
#include "platform/concurrency/CancellationToken.h"
#include "tests/support/HubTestEnvironment.h"
#include "tests/support/EngineTestSupport.h"
#include "tests/support/TestLogCapture.h"
#include "speech/model/WhisperError.h"

namespace sonoscribe {
namespace {

namespace fs = std::filesystem;
using testing::helloWorldTokens;
using testing::quietNoise;
using testing::scriptedWindow;

// A 16 kHz mono 16-bit WAV file of the samples.
void writeWav(const fs::path& path, const std::vector<float>& samples) {
    std::ofstream out(path, std::ios::binary);
    auto u32 = [&](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    const auto bytes = static_cast<uint32_t>(samples.size() * 2);
    out << "RIFF";
    u32(36 + bytes);
    out << "WAVEfmt ";
    u32(16), u16(1), u16(1), u32(16000), u32(32000), u16(2), u16(16);
    out << "data";
    u32(bytes);
    for (float sample : samples) u16(static_cast<uint16_t>(static_cast<int16_t>(sample * 32767.0f)));
}

class SonoscribeTest : public celvan::testing::HubTestEnvironment {
protected:
    void SetUp() override {
        HubTestEnvironment::SetUp();
        modelFolder_ = testsupport::writeScriptedModelFolder(scratch() / "openai_whisper-base.en",
                                                             scriptedWindow(helloWorldTokens()));
    }

    SonoscribeConfig localConfig(std::optional<bool> load = std::nullopt) const {
        SonoscribeConfig config;
        config.modelFolder = modelFolder_.string();
        config.load = load;
        config.download = false;
        config.computeOptions = ModelComputeOptions(platform::MLComputeUnits::cpuOnly, platform::MLComputeUnits::cpuOnly,
                                                    platform::MLComputeUnits::cpuOnly);
        return config;
    }

    // An engine that finds no models when it comes to load them.
    SonoscribeConfig configWithoutModels() const {
        SonoscribeConfig config = localConfig(false);
        config.modelFolder.reset();
        return config;
    }

    static DecodingOptions chunking() {
        DecodingOptions options;
        options.chunkingStrategy = ChunkingStrategy::vad;
        return options;
    }

    static std::string errorOf(const std::function<void()>& body) {
        try {
            body();
        } catch (const std::exception& error) {
            return error.what();
        }
        return "";
    }

    fs::path modelFolder_;
};

TEST_F(SonoscribeTest, LoadPrewarmAndUnloadReportTheirStates) {
    const auto engine = Sonoscribe::create(localConfig(false));
    EXPECT_EQ(engine->modelState(), celvan::ModelState::unloaded);
    EXPECT_FALSE(engine->tokenizer());
    std::vector<std::string> states;
    engine->setModelStateCallback([&](std::optional<celvan::ModelState>, celvan::ModelState state) {
        states.push_back(celvan::description(state));
    });

    engine->prewarmModels();
    EXPECT_EQ(states, (std::vector<std::string>{"Specializing", "Specialized"}));
    EXPECT_FALSE(engine->tokenizer()) << "prewarming loads no tokenizer";

    TestLogCapture log;
    engine->loadModels();
    engine->loadModels();
    EXPECT_EQ(states, (std::vector<std::string>{"Specializing", "Specialized", "Loading", "Loaded", "Loading", "Loaded"}));
    ASSERT_TRUE(engine->tokenizer());
    EXPECT_EQ(engine->textDecoder()->tokenizer(), engine->tokenizer());
    EXPECT_EQ(engine->modelVariant(), ModelVariant::baseEn);
    EXPECT_FALSE(engine->textDecoder()->isModelMultilingual());
    const auto messages = log.messages();
    EXPECT_NE(std::find(messages.begin(), messages.end(), "Tokenizer already exists on Sonoscribe, skipping load"),
              messages.end());
    const TranscriptionTimings timings = engine->currentTimings();
    EXPECT_GT(timings.modelLoading, timings.prewarmLoadTime);
    EXPECT_GT(timings.decoderLoadTime, 0);

    engine->unloadModels();
    EXPECT_EQ(states.back(), "Unloaded");
    EXPECT_EQ(states[states.size() - 2], "Unloading");
    EXPECT_FALSE(std::dynamic_pointer_cast<TextDecoder>(engine->textDecoder())->model());
    EXPECT_TRUE(engine->tokenizer()) << "the tokenizer stays";
}

TEST_F(SonoscribeTest, ConstructionFollowsTheConfiguration) {
    struct Case {
        const char* name;
        std::function<void(SonoscribeConfig&)> change;
        std::string error;
        celvan::ModelState state;
    };
    const fs::path absent = scratch() / "absent";
    const Case cases[] = {
        {"folder loads by default", [](SonoscribeConfig&) {}, "", celvan::ModelState::loaded},
        {"folder with download still loads locally", [](SonoscribeConfig& c) { c.download = true; }, "",
         celvan::ModelState::loaded},
        {"no folder, no download, load", [](SonoscribeConfig& c) { c.modelFolder.reset(), c.load = true; },
         "Model folder is not set.", celvan::ModelState::loading},
        {"no folder, no download", [](SonoscribeConfig& c) { c.modelFolder.reset(); }, "",
         celvan::ModelState::unloaded},
        {"missing folder", [&](SonoscribeConfig& c) { c.modelFolder = absent.string(); },
         "Model file not found at " + (absent / "MelSpectrogram.mlmodelc").string(), celvan::ModelState::loading},
        {"prewarm only", [](SonoscribeConfig& c) { c.prewarm = true, c.load = false; }, "",
         celvan::ModelState::prewarmed},
        {"prewarm and load", [](SonoscribeConfig& c) { c.prewarm = true, c.load = true; }, "",
         celvan::ModelState::loaded},
    };
    for (const Case& c : cases) {
        SonoscribeConfig config = localConfig();
        c.change(config);
        std::shared_ptr<Sonoscribe> engine;
        const std::string error = errorOf([&] { engine = Sonoscribe::create(config); });
        EXPECT_EQ(error, c.error) << c.name;
        if (engine) {
            EXPECT_EQ(engine->modelState(), c.state) << c.name;
        }
    }

    // The engine copies what it needs: changing the configuration later
    // does not reach it, and the given filters replace the decoder's.
    SonoscribeConfig config = localConfig(false);
    config.verbose = false;
    config.logLevel = celvan::Logging::LogLevel::debug;
    auto decoder = std::make_shared<TextDecoder>();
    decoder->setLogitsFilters(std::vector<std::shared_ptr<LogitsFiltering>>{});
    config.textDecoder = decoder;
    auto filter = std::make_shared<SuppressTokensFilter>(std::vector<int64_t>{1, 2});
    config.logitsFilters = std::vector<std::shared_ptr<LogitsFiltering>>{filter};
    const auto engine = Sonoscribe::create(config);
    EXPECT_EQ(celvan::Logging::shared().logLevel(), celvan::Logging::LogLevel::none);
    EXPECT_EQ(engine->textDecoder(), decoder);
    ASSERT_TRUE(decoder->logitsFilters());
    EXPECT_EQ(decoder->logitsFilters()->front(), filter);
    config.modelFolder = "/elsewhere";
    EXPECT_EQ(engine->modelFolder()->path(), modelFolder_.string());
}

TEST_F(SonoscribeTest, HostileModelFoldersFailWithTheirErrors) {
    // Model files that are not models.
    const fs::path corrupt = scratch() / "corrupt";
    fs::create_directories(corrupt);
    fs::copy(modelFolder_, corrupt, fs::copy_options::recursive);
    std::ofstream(corrupt / "MelSpectrogram.mlmodelc" / "model.mil", std::ios::trunc) << "garbage";
    SonoscribeConfig config = localConfig();
    config.modelFolder = corrupt.string();
    EXPECT_NE(errorOf([&] { Sonoscribe::create(config); }), "");

    // A tokenizer that cannot be read locally, and a hub that has none.
    const fs::path broken = scratch() / "broken-tokenizer";
    fs::copy(modelFolder_, broken, fs::copy_options::recursive);
    std::ofstream(broken / "tokenizer.json", std::ios::trunc) << "{\"model\": ";
    config.modelFolder = broken.string();
    config.tokenizerFolder = platform::URL::fileURLWithPath(cache().string(), true);
    std::shared_ptr<Sonoscribe> engine;
    EXPECT_NE(errorOf([&] { engine = Sonoscribe::create(config); }), "");
    EXPECT_FALSE(engine);
}

TEST_F(SonoscribeTest, DownloadsTheDefaultModelFromTheHub) {
    testsupport::writeModelRepository(serverRoot() / "models" / repoId,
                                      {"openai_whisper-base.en", "someone_whisper-base.en"},
                                      scriptedWindow(helloWorldTokens()), "openai_whisper-base.en");
    SonoscribeConfig config;
    config.modelRepo = repoId;
    config.modelEndpoint = server().endpoint();
    config.downloadBase = platform::URL::fileURLWithPath(cache().string(), true);
    const auto engine = Sonoscribe::create(config);
    EXPECT_EQ(engine->modelState(), celvan::ModelState::unloaded) << "a download alone loads nothing";
    ASSERT_TRUE(engine->modelFolder());
    EXPECT_EQ(engine->modelFolder()->path(), (cache() / "models" / repoId / "openai_whisper-base.en").string());
    EXPECT_TRUE(fs::exists(cache() / "models" / repoId / "openai_whisper-base.en" / "TextDecoder.mlmodelc"));
    EXPECT_FALSE(fs::exists(cache() / "models" / repoId / "someone_whisper-base.en"));
    engine->loadModels();
    EXPECT_TRUE(engine->tokenizer());

    config.model = "large-v9";
    EXPECT_EQ(errorOf([&] { Sonoscribe::create(config); }),
              "Model not found. Please check the model or repo name and try again.\nError: No models found matching "
              "\"*openai*large-v9/*\" in Repo(id: \"owner/model\", type: models)");
}

TEST_F(SonoscribeTest, BatchesReportInputOrderWindowIdsAndLoadOnce) {
    const auto engine = Sonoscribe::create(localConfig(false));
    std::atomic<int> loads{0};
    engine->setModelStateCallback([&](std::optional<celvan::ModelState>, celvan::ModelState state) {
        if (state == celvan::ModelState::loading) ++loads;
    });
    std::mutex mutex;
    std::set<int64_t> windowIds;
    std::vector<int64_t> seeks;
    engine->setSegmentDiscoveryCallback([&](const std::vector<TranscriptionSegment>& segments) {
        std::lock_guard lock(mutex);
        for (const auto& segment : segments) seeks.push_back(segment.seek);
    });

    std::vector<std::vector<float>> arrays;
    std::vector<int64_t> offsets;
    std::vector<std::optional<DecodingOptions>> options;
    for (int i = 0; i < 7; ++i) {
        arrays.push_back(quietNoise(static_cast<std::size_t>(2 + i) * 16000));
        offsets.push_back(1000 * i);
        DecodingOptions each;
        each.concurrentWorkerCount = i == 3 ? 3 : 1;
        options.push_back(each);
    }
    const auto results =
        engine->transcribeWithOptions(arrays, options, offsets, [&](const TranscriptionProgress& progress) {
            std::lock_guard lock(mutex);
            windowIds.insert(progress.windowId);
            return std::optional<bool>();
        });
    ASSERT_EQ(results.size(), 7u);
    for (std::size_t i = 0; i < results.size(); ++i) {
        ASSERT_TRUE(results[i].isSuccess()) << i;
        EXPECT_NEAR(results[i].get().front()->timings().inputAudioSeconds, 2.0 + static_cast<double>(i), 1e-9);
    }
    EXPECT_EQ(loads.load(), 1) << "children share one load";
    // Progress reports come from other threads a little later.
    for (int i = 0; i < 200 && windowIds.size() < 7; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::lock_guard lock(mutex);
    EXPECT_EQ(windowIds, (std::set<int64_t>{0, 1, 2, 3, 4, 5, 6}));
    std::sort(seeks.begin(), seeks.end());
    EXPECT_EQ(seeks, (std::vector<int64_t>{0, 1000, 2000, 3000, 4000, 5000, 6000}));

    EXPECT_EQ(engine->transcribeWithOptions(arrays, {std::nullopt}, std::nullopt, {}).size(), 1u);
    EXPECT_EQ(engine->transcribeWithOptions(arrays, options, std::vector<int64_t>{1}, {}).size(), 1u);
    EXPECT_TRUE(engine->transcribeWithResults(std::vector<std::vector<float>>{}).empty());
}

TEST_F(SonoscribeTest, FilesReportStatesAndFailuresPerFile) {
    const auto engine = Sonoscribe::create(localConfig());
    const fs::path good = scratch() / "good.wav";
    writeWav(good, quietNoise(3 * 16000));
    const fs::path bad = scratch() / "bad.wav";
    std::ofstream(bad) << "not audio at all";

    std::vector<TranscriptionState> states;
    engine->setTranscriptionStateCallback([&](TranscriptionState state) { states.push_back(state); });
    const auto results = engine->transcribeWithResults({good.string(), bad.string(), good.string()});
    ASSERT_EQ(results.size(), 3u);
    EXPECT_TRUE(results[0].isSuccess());
    EXPECT_FALSE(results[1].isSuccess());
    EXPECT_TRUE(results[2].isSuccess());
    EXPECT_EQ(results[0].get().front()->text(), "Hello world.");
    EXPECT_EQ(states, (std::vector<TranscriptionState>{TranscriptionState::convertingAudio,
                                                       TranscriptionState::transcribing,
                                                       TranscriptionState::finished}));
    const auto optional = engine->transcribe(std::vector<std::string>{bad.string(), good.string()});
    EXPECT_FALSE(optional[0]);
    EXPECT_TRUE(optional[1]);

    states.clear();
    EXPECT_EQ(engine->transcribe(good.string()).front()->text(), "Hello world.");
    EXPECT_GT(engine->currentTimings().audioLoading, 0);
    states.clear();
    EXPECT_ANY_THROW(engine->transcribe(bad.string()));
    EXPECT_EQ(states, std::vector<TranscriptionState>{TranscriptionState::convertingAudio});

    // A transcription that fails after the load still finishes.
    const auto withoutModels = Sonoscribe::create(configWithoutModels());
    withoutModels->setTranscriptionStateCallback([&](TranscriptionState state) { states.push_back(state); });
    states.clear();
    EXPECT_EQ(errorOf([&] { withoutModels->transcribe(good.string()); }), "Model folder is not set.");
    EXPECT_EQ(states, (std::vector<TranscriptionState>{TranscriptionState::convertingAudio,
                                                       TranscriptionState::transcribing,
                                                       TranscriptionState::finished}));
}

TEST_F(SonoscribeTest, DetectsLanguageOnlyWithMultilingualModels) {
    const auto english = Sonoscribe::create(localConfig());
    EXPECT_EQ(errorOf([&] { english->detectLangauge(quietNoise(16000)); }),
              "Language detection not supported for this model");

    const auto& tokenizer = *testing::multilingualTokenizer();
    const int64_t german = *tokenizer.convertTokenToId("<|de|>");
    auto script = scriptedWindow(helloWorldTokens(), 2.0f, 51865);
    script.script.insert(script.script.begin() + 1, german);
    SonoscribeConfig config = localConfig();
    config.modelFolder = testsupport::writeScriptedModelFolder(scratch() / "openai_whisper-base", script).string();
    const auto multilingual = Sonoscribe::create(config);
    EXPECT_TRUE(multilingual->textDecoder()->isModelMultilingual());
    EXPECT_EQ(multilingual->modelVariant(), ModelVariant::base);
    for (std::size_t samples : {std::size_t{1}, std::size_t{16000}, std::size_t{600000}}) {
        const DetectedLanguage detected = multilingual->detectLangauge(quietNoise(samples));
        EXPECT_EQ(detected.language, "de") << samples;
        EXPECT_EQ(detected.langProbs.size(), 1u);
    }
    EXPECT_EQ(errorOf([&] { multilingual->detectLangauge({}); }), "Audio samples are nil");
}


TEST_F(SonoscribeTest, MultilingualUnlessTheVocabularyIsEnglishOnly) {
    for (const int64_t vocabulary : {int64_t{51864}, int64_t{51865}, int64_t{51866}}) {
        SonoscribeConfig config = localConfig();
        config.modelFolder = testsupport::writeScriptedModelFolder(scratch() / std::to_string(vocabulary),
                                                                   scriptedWindow(helloWorldTokens(), 2.0f, vocabulary))
                                 .string();
        EXPECT_EQ(Sonoscribe::create(config)->textDecoder()->isModelMultilingual(), vocabulary != 51864) << vocabulary;
    }
}

TEST_F(SonoscribeTest, ConcurrentBatchesAndAChunkedTranscriptionShareOneLoad) {
    const std::vector<std::vector<float>> arrays(3, quietNoise(2 * 16000));
    const std::vector<float> longAudio = quietNoise(40 * 16000);
    for (int round = 0; round < 3; ++round) {
        const auto engine = Sonoscribe::create(localConfig(false));
        std::atomic<int> loads{0};
        engine->setModelStateCallback([&](std::optional<celvan::ModelState>, celvan::ModelState state) {
            if (state == celvan::ModelState::loading) ++loads;
        });
        std::vector<std::optional<TranscriptionResults>> first, second;
        TranscriptionResults chunked;
        std::thread batching([&] { first = engine->transcribe(arrays); });
        std::thread alsoBatching([&] { second = engine->transcribe(arrays); });
        std::thread chunking([&] { chunked = engine->transcribe(longAudio, SonoscribeTest::chunking()); });
        batching.join();
        alsoBatching.join();
        chunking.join();
        for (const auto& results : {first, second}) {
            ASSERT_EQ(results.size(), arrays.size());
            for (const auto& result : results) EXPECT_TRUE(result);
        }
        EXPECT_EQ(chunked.size(), 2u);
        EXPECT_EQ(loads.load(), 1);
    }
}

// A seeker that fails every window of the given size.
class FailingSeeker : public SegmentSeeker {
public:
    explicit FailingSeeker(int64_t failingSize) : failingSize_(failingSize) {}
    std::pair<int64_t, std::optional<std::vector<TranscriptionSegment>>> findSeekPointAndSegments(
        const DecodingResult& result, const DecodingOptions& options, int64_t allSegmentsCount, int64_t currentSeek,
        int64_t segmentSize, int64_t sampleRate, int64_t timeToken, int64_t specialToken,
        const WhisperTokenizer& tokenizer) override {
        if (segmentSize == failingSize_) throw WhisperError::segmentingFailed("No segments here");
        return SegmentSeeker::findSeekPointAndSegments(result, options, allSegmentsCount, currentSeek, segmentSize,
                                                       sampleRate, timeToken, specialToken, tokenizer);
    }

private:
    int64_t failingSize_;
};

TEST_F(SonoscribeTest, ChunkedTranscriptionThrowsWhatStopsItAllAndDropsAFailedChunk) {
    // 40 s of audio that the detector finds silent throughout: cut in the
    // middle of the first window's second half, at 22.5 s.
    const std::vector<float> audio = quietNoise(40 * 16000);
    const auto withoutModels = Sonoscribe::create(configWithoutModels());
    int loads = 0;
    withoutModels->setModelStateCallback([&](std::optional<celvan::ModelState>, celvan::ModelState state) {
        loads += state == celvan::ModelState::loading;
    });
    EXPECT_EQ(errorOf([&] { withoutModels->transcribe(audio, chunking()); }), "Model folder is not set.");
    EXPECT_EQ(loads, 1) << "one load for all chunks";

    const auto engine = Sonoscribe::create(localConfig());
    {
        const platform::CancellationToken token;
        token.cancel();
        const platform::CancellationScope scope(token);
        EXPECT_THROW(engine->transcribe(audio, chunking()), platform::CancellationError);
    }

    SonoscribeConfig config = localConfig();
    config.segmentSeeker = std::make_shared<FailingSeeker>(static_cast<int64_t>(audio.size()) - 360000);
    const TranscriptionResults kept = Sonoscribe::create(config)->transcribe(audio, chunking());
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0]->seekTime(), 0.0f);
}

TEST_F(SonoscribeTest, ChunksLeaveTheCallersClipTimesToTheChunker) {
    const auto engine = Sonoscribe::create(localConfig());
    DecodingOptions options = chunking();
    options.clipTimestamps = {5.0f};
    const TranscriptionResults results = engine->transcribe(quietNoise(32 * 16000), options);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0]->seekTime(), 5.0f);
    ASSERT_FALSE(results[0]->segments().empty());
    EXPECT_FLOAT_EQ(results[0]->segments().front().start, 5.0f);
}

// A mel stage whose model leaves the window length open.
class OpenWindowFeatureExtractor : public FeatureExtractor {
public:
    explicit OpenWindowFeatureExtractor(int64_t window) : window_(window) {}
    std::optional<int64_t> windowSamples() const override { return window_; }

private:
    int64_t window_;
};

TEST_F(SonoscribeTest, AWindowThatIsNotPositiveIsTheFullWindow) {
    for (const int64_t window : {int64_t{-1}, int64_t{0}}) {
        SonoscribeConfig config = localConfig();
        config.featureExtractor = std::make_shared<OpenWindowFeatureExtractor>(window);
        const auto engine = Sonoscribe::create(config);
        for (const auto& options : {std::optional<DecodingOptions>(), std::optional<DecodingOptions>(chunking())}) {
            const TranscriptionResults results = engine->transcribe(quietNoise(20 * 16000), options);
            ASSERT_EQ(results.size(), 1u) << window;
            EXPECT_EQ(results[0]->text(), "Hello world.") << window;
        }
    }
}

}  // namespace
}  // namespace sonoscribe
