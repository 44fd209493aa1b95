#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "speech/model/Constants.h"
#include "speech/model/JsonCoding.h"

namespace sonoscribe {

enum class DecodingTask { transcribe, translate };

inline constexpr std::array<DecodingTask, 2> allDecodingTasks{DecodingTask::transcribe, DecodingTask::translate};

std::string_view description(DecodingTask task);

enum class ChunkingStrategy { none, vad };

inline constexpr std::array<ChunkingStrategy, 2> allChunkingStrategies{ChunkingStrategy::none, ChunkingStrategy::vad};

std::string_view rawValue(ChunkingStrategy strategy);
std::optional<ChunkingStrategy> chunkingStrategyFromRawValue(std::string_view rawValue);

// A range of samples to transcribe; end may lie before start or beyond the
// audio, exactly as the clip times gave it.
struct SeekClip {
    int64_t start;
    int64_t end;

    bool operator==(const SeekClip&) const = default;
};

// Every knob of one transcription. A plain value: copy it, change a field.
struct DecodingOptions {
    // The arguments of the constructor. Three of them may be left unset and
    // are then derived: detectLanguage from usePrefillPrompt, suppressTokens
    // as empty, concurrentWorkerCount as 16.
    struct Parameters {
        bool verbose = false;
        DecodingTask task = DecodingTask::transcribe;
        std::optional<std::string> language = {};
        float temperature = 0.0f;
        float temperatureIncrementOnFallback = 0.2f;
        int64_t temperatureFallbackCount = 5;
        int64_t sampleLength = Constants::maxTokenContext;
        int64_t topK = 5;
        bool usePrefillPrompt = true;
        std::optional<bool> detectLanguage = {};
        bool skipSpecialTokens = false;
        bool withoutTimestamps = false;
        bool wordTimestamps = false;
        std::optional<float> maxInitialTimestamp = {};
        std::optional<int64_t> maxWindowSeek = {};
        std::vector<float> clipTimestamps = {};
        float windowClipTime = 1.0f;
        std::optional<std::vector<int64_t>> promptTokens = {};
        std::optional<std::vector<int64_t>> prefixTokens = {};
        bool suppressBlank = false;
        std::optional<std::vector<int64_t>> suppressTokens = {};
        std::optional<float> compressionRatioThreshold = 2.4f;
        std::optional<float> logProbThreshold = -1.0f;
        std::optional<float> firstTokenLogProbThreshold = -1.5f;
        std::optional<float> noSpeechThreshold = 0.6f;
        std::optional<int64_t> concurrentWorkerCount = {};
        std::optional<ChunkingStrategy> chunkingStrategy = {};
    };

    DecodingOptions() : DecodingOptions(Parameters{}) {}
    explicit DecodingOptions(Parameters parameters);

    bool verbose;
    DecodingTask task;
    std::optional<std::string> language;
    float temperature;
    float temperatureIncrementOnFallback;
    int64_t temperatureFallbackCount;
    int64_t sampleLength;
    int64_t topK;
    bool usePrefillPrompt;
    bool detectLanguage;
    bool skipSpecialTokens;
    bool withoutTimestamps;
    bool wordTimestamps;
    std::optional<float> maxInitialTimestamp;
    std::optional<int64_t> maxWindowSeek;
    std::vector<float> clipTimestamps;
    float windowClipTime;
    std::optional<std::vector<int64_t>> promptTokens;
    std::optional<std::vector<int64_t>> prefixTokens;
    bool suppressBlank;
    std::vector<int64_t> suppressTokens;
    std::optional<float> compressionRatioThreshold;
    std::optional<float> logProbThreshold;
    std::optional<float> firstTokenLogProbThreshold;
    std::optional<float> noSpeechThreshold;
    int64_t concurrentWorkerCount;
    std::optional<ChunkingStrategy> chunkingStrategy;

    // The sample ranges that clipTimestamps select, given the number of
    // samples of the audio. Throws WhisperError (transcriptionFailed) for a
    // clip time that is not finite or whose sample index would not fit.
    std::vector<SeekClip> prepareSeekClips(int64_t contentFrames) const;

    bool operator==(const DecodingOptions&) const = default;
};

template <>
struct JsonCoder<DecodingTask> {
    static void encode(JsonWriter& writer, DecodingTask task);
    static DecodingTask decode(const Json& value, const CodingPath& path);
};

template <>
struct JsonCoder<ChunkingStrategy> {
    static void encode(JsonWriter& writer, ChunkingStrategy strategy);
    static ChunkingStrategy decode(const Json& value, const CodingPath& path);
};

template <>
struct JsonCoder<DecodingOptions> {
    static void encode(JsonWriter& writer, const DecodingOptions& options);
    static DecodingOptions decode(const Json& value, const CodingPath& path);
};

}  // namespace sonoscribe
