#include "speech/model/TranscriptionResult.h"

#include <cstdio>

#include "mlcore/foundation/Logging.h"
#include "speech/model/TimingReport.h"

namespace sonoscribe {
namespace {

void encodeSegments(JsonWriter& writer, const std::vector<TranscriptionSegment>& segments) {
    writer.beginArray();
    for (const TranscriptionSegment& segment : segments) JsonCoder<TranscriptionSegment>::encode(writer, segment);
    writer.endArray();
}

std::vector<TranscriptionSegment> decodeSegments(const Json& value, const CodingPath& path) {
    return json::decodeArray<TranscriptionSegment>(value, path, JsonCoder<TranscriptionSegment>::decode);
}

TranscriptionResultStruct decodeFields(const json::ObjectReader& object) {
    TranscriptionResultStruct fields;
    fields.text = object.required("text", json::decodeString);
    fields.segments = object.required("segments", decodeSegments);
    fields.language = object.required("language", json::decodeString);
    fields.timings = object.required("timings", JsonCoder<TranscriptionTimings>::decode);
    fields.seekTime = object.optional("seekTime", json::decodeFloat);
    return fields;
}

}  // namespace

TranscriptionResult::TranscriptionResult(std::string text, std::vector<TranscriptionSegment> segments,
                                         std::string language, TranscriptionTimings timings,
                                         std::optional<float> seekTime)
    : text_(std::move(text)),
      segments_(std::move(segments)),
      language_(std::move(language)),
      timings_(timings),
      seekTime_(seekTime) {}

std::vector<WordTiming> TranscriptionResult::allWords() const {
    std::vector<WordTiming> words;
    for (const TranscriptionSegment& segment : segments()) {
        if (segment.words) words.insert(words.end(), segment.words->begin(), segment.words->end());
    }
    return words;
}

void TranscriptionResult::logSegments() const {
    const std::vector<TranscriptionSegment> all = segments();
    for (std::size_t i = 0; i < all.size(); ++i) {
        char times[96];
        std::snprintf(times, sizeof times, "%.2f --> %.2f", all[i].start, all[i].end);
        celvan::Logging::debug("[Segment " + std::to_string(i) + "] [" + times + "] " + all[i].text);
    }
}

void TranscriptionResult::logTimings() const {
    int64_t totalTokens = 0;
    for (const TranscriptionSegment& segment : segments()) totalTokens += static_cast<int64_t>(segment.tokens.size());
    celvan::Logging::info(timingReport(timings(), totalTokens));
}

void JsonCoder<TranscriptionResult>::encode(JsonWriter& writer, const TranscriptionResult& result) {
    writer.beginObject();
    result.text_.withLock([&](const std::string& text) { writer.field("text", std::string_view(text)); });
    writer.key("segments");
    result.segments_.withLock([&](const std::vector<TranscriptionSegment>& segments) { encodeSegments(writer, segments); });
    result.language_.withLock([&](const std::string& language) { writer.field("language", std::string_view(language)); });
    writer.key("timings");
    result.timings_.withLock(
        [&](const TranscriptionTimings& timings) { JsonCoder<TranscriptionTimings>::encode(writer, timings); });
    writer.key("seekTime");
    result.seekTime_.withLock([&](const std::optional<float>& seekTime) {
        if (seekTime) {
            writer.value(*seekTime);
        } else {
            writer.null();
        }
    });
    writer.endObject();
}

std::shared_ptr<TranscriptionResult> JsonCoder<TranscriptionResult>::decode(const Json& value, const CodingPath& path) {
    TranscriptionResultStruct fields = decodeFields(json::ObjectReader(value, path, "TranscriptionResult"));
    // Unlike the plain value, the key itself must be there, even as null.
    json::requiredMember(value, "seekTime", path);
    return std::make_shared<TranscriptionResult>(std::move(fields.text), std::move(fields.segments),
                                                 std::move(fields.language), fields.timings, fields.seekTime);
}

void JsonCoder<TranscriptionResultStruct>::encode(JsonWriter& writer, const TranscriptionResultStruct& result) {
    writer.beginObject();
    writer.field("text", std::string_view(result.text));
    writer.key("segments");
    encodeSegments(writer, result.segments);
    writer.field("language", std::string_view(result.language));
    writer.key("timings");
    JsonCoder<TranscriptionTimings>::encode(writer, result.timings);
    if (result.seekTime) writer.field("seekTime", *result.seekTime);
    writer.endObject();
}

TranscriptionResultStruct JsonCoder<TranscriptionResultStruct>::decode(const Json& value, const CodingPath& path) {
    return decodeFields(json::ObjectReader(value, path, "TranscriptionResultStruct"));
}

}  // namespace sonoscribe
