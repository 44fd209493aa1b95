#include "speech/model/DecodingOptions.h"

#include <cmath>

#include "platform/foundation/NumberFormatting.h"
#include "speech/model/WhisperError.h"

namespace sonoscribe {
namespace {

constexpr float kSamplesPerSecond = 16000.0f;

int64_t sampleIndex(float seconds) {
    float samples = std::round(seconds * kSamplesPerSecond);
    // Checked before converting: a NaN, an infinity or a value past the
    // integer range has no sample index.
    if (!std::isfinite(samples) || samples < -0x1p63f || samples >= 0x1p63f) {
        throw WhisperError::transcriptionFailed("Clip timestamp is not a valid time: " + platform::description(seconds));
    }
    return static_cast<int64_t>(samples);
}

template <class T>
void encodeOptional(JsonWriter& writer, const char* key, const std::optional<T>& value) {
    if (!value) return;
    writer.key(key);
    if constexpr (std::is_same_v<T, std::vector<int64_t>>) {
        writer.array(*value);
    } else {
        writer.value(*value);
    }
}

}  // namespace

std::string_view description(DecodingTask task) {
    return task == DecodingTask::transcribe ? "transcribe" : "translate";
}

std::string_view rawValue(ChunkingStrategy strategy) {
    return strategy == ChunkingStrategy::none ? "none" : "vad";
}

std::optional<ChunkingStrategy> chunkingStrategyFromRawValue(std::string_view rawValue) {
    if (rawValue == "none") return ChunkingStrategy::none;
    if (rawValue == "vad") return ChunkingStrategy::vad;
    return std::nullopt;
}

DecodingOptions::DecodingOptions(Parameters p)
    : verbose(p.verbose),
      task(p.task),
      language(std::move(p.language)),
      temperature(p.temperature),
      temperatureIncrementOnFallback(p.temperatureIncrementOnFallback),
      temperatureFallbackCount(p.temperatureFallbackCount),
      sampleLength(p.sampleLength),
      topK(p.topK),
      usePrefillPrompt(p.usePrefillPrompt),
      detectLanguage(p.detectLanguage.value_or(!p.usePrefillPrompt)),
      skipSpecialTokens(p.skipSpecialTokens),
      withoutTimestamps(p.withoutTimestamps),
      wordTimestamps(p.wordTimestamps),
      maxInitialTimestamp(p.maxInitialTimestamp),
      maxWindowSeek(p.maxWindowSeek),
      clipTimestamps(std::move(p.clipTimestamps)),
      windowClipTime(p.windowClipTime),
      promptTokens(std::move(p.promptTokens)),
      prefixTokens(std::move(p.prefixTokens)),
      suppressBlank(p.suppressBlank),
      suppressTokens(p.suppressTokens.value_or(std::vector<int64_t>{})),
      compressionRatioThreshold(p.compressionRatioThreshold),
      logProbThreshold(p.logProbThreshold),
      firstTokenLogProbThreshold(p.firstTokenLogProbThreshold),
      noSpeechThreshold(p.noSpeechThreshold),
      concurrentWorkerCount(p.concurrentWorkerCount.value_or(16)),
      chunkingStrategy(p.chunkingStrategy) {}

std::vector<SeekClip> DecodingOptions::prepareSeekClips(int64_t contentFrames) const {
    std::vector<int64_t> points;
    points.reserve(clipTimestamps.size() + 1);
    for (float seconds : clipTimestamps) points.push_back(sampleIndex(seconds));
    if (points.empty()) points.push_back(0);
    if (points.size() % 2 == 1) points.push_back(contentFrames);

    std::vector<SeekClip> clips;
    clips.reserve(points.size() / 2);
    for (std::size_t i = 0; i < points.size(); i += 2) clips.push_back({points[i], points[i + 1]});
    return clips;
}

void JsonCoder<DecodingTask>::encode(JsonWriter& writer, DecodingTask task) {
    writer.beginObject();
    writer.key(description(task));
    writer.beginObject();
    writer.endObject();
    writer.endObject();
}

DecodingTask JsonCoder<DecodingTask>::decode(const Json& value, const CodingPath& path) {
    json::requireObject(value, path, "DecodingTask");
    std::optional<DecodingTask> found;
    int matches = 0;
    for (DecodingTask task : allDecodingTasks) {
        if (value.contains(description(task))) {
            found = task;
            ++matches;
        }
    }
    if (matches != 1) {
        throw DecodingError(DecodingError::Kind::typeMismatch, path.render(),
                            "Invalid number of keys found, expected one.");
    }
    std::string key(description(*found));
    json::requireObject(value.at(key), path.key(key), "Dictionary");
    return *found;
}

void JsonCoder<ChunkingStrategy>::encode(JsonWriter& writer, ChunkingStrategy strategy) {
    writer.value(rawValue(strategy));
}

ChunkingStrategy JsonCoder<ChunkingStrategy>::decode(const Json& value, const CodingPath& path) {
    std::string raw = json::decodeString(value, path);
    auto strategy = chunkingStrategyFromRawValue(raw);
    if (!strategy) {
        throw DecodingError(DecodingError::Kind::dataCorrupted, path.render(),
                            "Cannot initialize ChunkingStrategy from invalid String value " + raw);
    }
    return *strategy;
}

void JsonCoder<DecodingOptions>::encode(JsonWriter& writer, const DecodingOptions& o) {
    writer.beginObject();
    writer.field("verbose", o.verbose);
    writer.key("task");
    JsonCoder<DecodingTask>::encode(writer, o.task);
    encodeOptional(writer, "language", o.language);
    writer.field("temperature", o.temperature);
    writer.field("temperatureIncrementOnFallback", o.temperatureIncrementOnFallback);
    writer.field("temperatureFallbackCount", o.temperatureFallbackCount);
    writer.field("sampleLength", o.sampleLength);
    writer.field("topK", o.topK);
    writer.field("usePrefillPrompt", o.usePrefillPrompt);
    writer.field("detectLanguage", o.detectLanguage);
    writer.field("skipSpecialTokens", o.skipSpecialTokens);
    writer.field("withoutTimestamps", o.withoutTimestamps);
    writer.field("wordTimestamps", o.wordTimestamps);
    encodeOptional(writer, "maxInitialTimestamp", o.maxInitialTimestamp);
    encodeOptional(writer, "maxWindowSeek", o.maxWindowSeek);
    writer.key("clipTimestamps");
    writer.array(o.clipTimestamps);
    writer.field("windowClipTime", o.windowClipTime);
    encodeOptional(writer, "promptTokens", o.promptTokens);
    encodeOptional(writer, "prefixTokens", o.prefixTokens);
    writer.field("suppressBlank", o.suppressBlank);
    writer.key("suppressTokens");
    writer.array(o.suppressTokens);
    encodeOptional(writer, "compressionRatioThreshold", o.compressionRatioThreshold);
    encodeOptional(writer, "logProbThreshold", o.logProbThreshold);
    encodeOptional(writer, "firstTokenLogProbThreshold", o.firstTokenLogProbThreshold);
    encodeOptional(writer, "noSpeechThreshold", o.noSpeechThreshold);
    writer.field("concurrentWorkerCount", o.concurrentWorkerCount);
    if (o.chunkingStrategy) {
        writer.key("chunkingStrategy");
        JsonCoder<ChunkingStrategy>::encode(writer, *o.chunkingStrategy);
    }
    writer.endObject();
}

DecodingOptions JsonCoder<DecodingOptions>::decode(const Json& value, const CodingPath& path) {
    using namespace json;
    ObjectReader object(value, path, "DecodingOptions");

    DecodingOptions o;
    o.verbose = object.required("verbose", decodeBool);
    o.task = object.required("task", JsonCoder<DecodingTask>::decode);
    o.language = object.optional("language", decodeString);
    o.temperature = object.required("temperature", decodeFloat);
    o.temperatureIncrementOnFallback = object.required("temperatureIncrementOnFallback", decodeFloat);
    o.temperatureFallbackCount = object.required("temperatureFallbackCount", decodeInt);
    o.sampleLength = object.required("sampleLength", decodeInt);
    o.topK = object.required("topK", decodeInt);
    o.usePrefillPrompt = object.required("usePrefillPrompt", decodeBool);
    o.detectLanguage = object.required("detectLanguage", decodeBool);
    o.skipSpecialTokens = object.required("skipSpecialTokens", decodeBool);
    o.withoutTimestamps = object.required("withoutTimestamps", decodeBool);
    o.wordTimestamps = object.required("wordTimestamps", decodeBool);
    o.maxInitialTimestamp = object.optional("maxInitialTimestamp", decodeFloat);
    o.maxWindowSeek = object.optional("maxWindowSeek", decodeInt);
    o.clipTimestamps = object.required("clipTimestamps", decodeFloatArray);
    o.windowClipTime = object.required("windowClipTime", decodeFloat);
    o.promptTokens = object.optional("promptTokens", decodeIntArray);
    o.prefixTokens = object.optional("prefixTokens", decodeIntArray);
    o.suppressBlank = object.required("suppressBlank", decodeBool);
    o.suppressTokens = object.required("suppressTokens", decodeIntArray);
    o.compressionRatioThreshold = object.optional("compressionRatioThreshold", decodeFloat);
    o.logProbThreshold = object.optional("logProbThreshold", decodeFloat);
    o.firstTokenLogProbThreshold = object.optional("firstTokenLogProbThreshold", decodeFloat);
    o.noSpeechThreshold = object.optional("noSpeechThreshold", decodeFloat);
    o.concurrentWorkerCount = object.required("concurrentWorkerCount", decodeInt);
    o.chunkingStrategy = object.optional("chunkingStrategy", JsonCoder<ChunkingStrategy>::decode);
    return o;
}

}  // namespace sonoscribe
