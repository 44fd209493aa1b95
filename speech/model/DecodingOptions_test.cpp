#include "speech/model/DecodingOptions.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "speech/model/WhisperError.h"

namespace sonoscribe {
namespace {

constexpr const char* kDefaultsJson =
    R"({"verbose":false,"task":{"transcribe":{}},"temperature":0.0,"temperatureIncrementOnFallback":0.2,)"
    R"("temperatureFallbackCount":5,"sampleLength":224,"topK":5,"usePrefillPrompt":true,"detectLanguage":false,)"
    R"("skipSpecialTokens":false,"withoutTimestamps":false,"wordTimestamps":false,"clipTimestamps":[],)"
    R"("windowClipTime":1.0,"suppressBlank":false,"suppressTokens":[],"compressionRatioThreshold":2.4,)"
    R"("logProbThreshold":-1.0,"firstTokenLogProbThreshold":-1.5,"noSpeechThreshold":0.6,)"
    R"("concurrentWorkerCount":16})";

Json defaultsWith(const char* key, Json value) {
    Json object = json::parse(kDefaultsJson);
    if (value.is_discarded()) {
        object.erase(key);
    } else {
        object[key] = std::move(value);
    }
    return object;
}

TEST(DecodingOptions, DefaultsAndDerivedValues) {
    DecodingOptions o;
    EXPECT_FALSE(o.verbose);
    EXPECT_EQ(o.task, DecodingTask::transcribe);
    EXPECT_EQ(o.language, std::nullopt);
    EXPECT_EQ(o.temperature, 0.0f);
    EXPECT_EQ(o.temperatureIncrementOnFallback, 0.2f);
    EXPECT_EQ(o.temperatureFallbackCount, 5);
    EXPECT_EQ(o.sampleLength, 224);
    EXPECT_EQ(o.topK, 5);
    EXPECT_TRUE(o.usePrefillPrompt);
    EXPECT_FALSE(o.detectLanguage);
    EXPECT_FALSE(o.skipSpecialTokens || o.withoutTimestamps || o.wordTimestamps || o.suppressBlank);
    EXPECT_EQ(o.maxInitialTimestamp, std::nullopt);
    EXPECT_EQ(o.maxWindowSeek, std::nullopt);
    EXPECT_TRUE(o.clipTimestamps.empty());
    EXPECT_EQ(o.windowClipTime, 1.0f);
    EXPECT_EQ(o.promptTokens, std::nullopt);
    EXPECT_EQ(o.prefixTokens, std::nullopt);
    EXPECT_TRUE(o.suppressTokens.empty());
    EXPECT_EQ(o.compressionRatioThreshold, 2.4f);
    EXPECT_EQ(o.logProbThreshold, -1.0f);
    EXPECT_EQ(o.firstTokenLogProbThreshold, -1.5f);
    EXPECT_EQ(o.noSpeechThreshold, 0.6f);
    EXPECT_EQ(o.concurrentWorkerCount, 16);
    EXPECT_EQ(o.chunkingStrategy, std::nullopt);

    struct Case {
        const char* name;
        DecodingOptions::Parameters parameters;
        bool detectLanguage;
    };
    const Case cases[] = {
        {"no prefill detects", {.usePrefillPrompt = false}, true},
        {"explicit false stays", {.usePrefillPrompt = false, .detectLanguage = false}, false},
        {"explicit true with prefill", {.detectLanguage = true}, true},
    };
    for (const Case& c : cases) EXPECT_EQ(DecodingOptions(c.parameters).detectLanguage, c.detectLanguage) << c.name;

    DecodingOptions given({.suppressTokens = std::vector<int64_t>{1, 2}, .concurrentWorkerCount = 3});
    EXPECT_EQ(given.suppressTokens, (std::vector<int64_t>{1, 2}));
    EXPECT_EQ(given.concurrentWorkerCount, 3);
}

TEST(DecodingOptions, SeekClipsFromClipTimes) {
    struct Case {
        std::vector<float> clipTimestamps;
        int64_t contentFrames;
        std::vector<SeekClip> expected;
    };
    const Case cases[] = {
        {{}, 480000, {{0, 480000}}},
        {{1.5f}, 480000, {{24000, 480000}}},
        {{1.0f, 2.0f, 5.0f}, 100000, {{16000, 32000}, {80000, 100000}}},
        {{0.5f, 1.25f}, 480000, {{8000, 20000}}},
        // Unsorted and out-of-range clips pass through unchanged.
        {{2.0f, 1.0f, 40.0f}, 480000, {{32000, 16000}, {640000, 480000}}},
        // A product of 0.5 samples rounds away from zero.
        {{0.5f / 16000.0f}, 10, {{1, 10}}},
    };
    for (const Case& c : cases) {
        DecodingOptions options({.clipTimestamps = c.clipTimestamps});
        EXPECT_EQ(options.prepareSeekClips(c.contentFrames), c.expected);
    }
}

TEST(DecodingOptions, SeekClipsRejectTimesWithoutASampleIndex) {
    for (float bad : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                      -std::numeric_limits<float>::infinity(), 1e30f, -1e30f}) {
        DecodingOptions options({.clipTimestamps = {0.0f, bad}});
        try {
            options.prepareSeekClips(480000);
            ADD_FAILURE() << bad;
        } catch (const WhisperError& error) {
            EXPECT_EQ(error.kind(), WhisperError::Kind::transcriptionFailed);
        }
    }
}

TEST(DecodingOptions, EncodesDefaultsExactlyAndRoundTrips) {
    EXPECT_EQ(encodeJSON(DecodingOptions()), kDefaultsJson);

    DecodingOptions everything({
        .verbose = true,
        .task = DecodingTask::translate,
        .language = "de",
        .temperature = 0.4f,
        .maxInitialTimestamp = 1.0f,
        .maxWindowSeek = 3000,
        .clipTimestamps = {0.1f, 2.7f},
        .promptTokens = std::vector<int64_t>{50361, 1},
        .prefixTokens = std::vector<int64_t>{},
        .suppressTokens = std::vector<int64_t>{-1},
        .compressionRatioThreshold = std::nullopt,
        .chunkingStrategy = ChunkingStrategy::vad,
    });
    for (const DecodingOptions& options : {DecodingOptions(), everything}) {
        EXPECT_EQ(decodeJSON<DecodingOptions>(encodeJSON(options)), options);
    }
    std::string text = encodeJSON(everything);
    EXPECT_NE(text.find(R"("task":{"translate":{}},"language":"de","temperature":0.4,)"), std::string::npos) << text;
    EXPECT_NE(text.find(R"("chunkingStrategy":"vad")"), std::string::npos);
    EXPECT_EQ(text.find("compressionRatioThreshold"), std::string::npos);
}

TEST(DecodingOptions, DecodingFillsNothingIn) {
    Json discard = Json(Json::value_t::discarded);
    DecodingOptions withoutSilence =
        JsonCoder<DecodingOptions>::decode(defaultsWith("noSpeechThreshold", discard), {});
    EXPECT_EQ(withoutSilence.noSpeechThreshold, std::nullopt);
    EXPECT_EQ(withoutSilence.compressionRatioThreshold, 2.4f);

    for (const char* required : {"verbose", "task", "suppressTokens", "detectLanguage", "concurrentWorkerCount",
                                 "clipTimestamps", "windowClipTime"}) {
        try {
            JsonCoder<DecodingOptions>::decode(defaultsWith(required, discard), {});
            ADD_FAILURE() << required;
        } catch (const DecodingError& error) {
            EXPECT_EQ(error.kind(), DecodingError::Kind::keyNotFound) << required;
            EXPECT_NE(std::string(error.what()).find(required), std::string::npos);
        }
    }
}

TEST(DecodingOptions, DecodingRejectsMistypedValues) {
    struct Case {
        const char* key;
        Json value;
        DecodingError::Kind kind;
        std::string path;
    };
    const Case cases[] = {
        {"topK", "5", DecodingError::Kind::typeMismatch, "topK"},
        {"topK", 5.5, DecodingError::Kind::dataCorrupted, "topK"},
        {"verbose", 1, DecodingError::Kind::typeMismatch, "verbose"},
        {"verbose", nullptr, DecodingError::Kind::valueNotFound, "verbose"},
        {"suppressTokens", Json::array({1, "x"}), DecodingError::Kind::typeMismatch, "suppressTokens[1]"},
        {"temperature", 1e39, DecodingError::Kind::dataCorrupted, "temperature"},
        {"chunkingStrategy", "fast", DecodingError::Kind::dataCorrupted, "chunkingStrategy"},
        {"language", 3, DecodingError::Kind::typeMismatch, "language"},
    };
    for (const Case& c : cases) {
        try {
            JsonCoder<DecodingOptions>::decode(defaultsWith(c.key, c.value), {});
            ADD_FAILURE() << c.key << " " << c.value.dump();
        } catch (const DecodingError& error) {
            EXPECT_EQ(error.kind(), c.kind) << c.key << " " << c.value.dump();
            EXPECT_EQ(error.codingPath(), c.path);
        }
    }
    EXPECT_EQ(JsonCoder<DecodingOptions>::decode(defaultsWith("topK", 7.0), {}).topK, 7);
    EXPECT_EQ(JsonCoder<DecodingOptions>::decode(defaultsWith("unknownKey", 1), {}), DecodingOptions());
}

TEST(DecodingTask, DecodesExactlyOneKnownKey) {
    struct Case {
        const char* text;
        std::optional<DecodingTask> expected;
    };
    const Case cases[] = {
        {R"({"translate":{}})", DecodingTask::translate},
        {R"({"transcribe":{"ignored":1},"other":2})", DecodingTask::transcribe},
        {R"({"transcribe":{},"translate":{}})", std::nullopt},
        {R"({})", std::nullopt},
        {R"({"summarize":{}})", std::nullopt},
    };
    for (const Case& c : cases) {
        if (c.expected) {
            EXPECT_EQ(decodeJSON<DecodingTask>(c.text), *c.expected) << c.text;
            continue;
        }
        try {
            decodeJSON<DecodingTask>(c.text);
            ADD_FAILURE() << c.text;
        } catch (const DecodingError& error) {
            EXPECT_EQ(error.kind(), DecodingError::Kind::typeMismatch);
            EXPECT_EQ(error.debugDescription(), "Invalid number of keys found, expected one.");
        }
    }
    EXPECT_THROW(decodeJSON<DecodingTask>(R"({"transcribe":1})"), DecodingError);
    EXPECT_THROW(decodeJSON<DecodingTask>(R"("transcribe")"), DecodingError);
    EXPECT_THROW(decodeJSON<DecodingTask>(R"({"transcribe":)"), DecodingError);
}

TEST(ChunkingStrategy, RawValues) {
    EXPECT_EQ(chunkingStrategyFromRawValue("none"), ChunkingStrategy::none);
    EXPECT_EQ(chunkingStrategyFromRawValue("vad"), ChunkingStrategy::vad);
    EXPECT_EQ(chunkingStrategyFromRawValue("VAD"), std::nullopt);
    for (ChunkingStrategy strategy : allChunkingStrategies) {
        EXPECT_EQ(chunkingStrategyFromRawValue(rawValue(strategy)), strategy);
    }
}

}  // namespace
}  // namespace sonoscribe
