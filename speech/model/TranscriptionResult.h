#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "mlcore/foundation/ConcurrencyUtilities.h"
#include "speech/model/JsonCoding.h"
#include "speech/model/TranscriptionSegment.h"
#include "speech/model/TranscriptionTimings.h"

namespace sonoscribe {

class TranscriptionResult;

// A result is written with every key, seekTime as null when unset, and all
// five keys are required to read one back. Each field is written while its
// lock is held.
template <>
struct JsonCoder<TranscriptionResult> {
    static void encode(JsonWriter& writer, const TranscriptionResult& result);
    static std::shared_ptr<TranscriptionResult> decode(const Json& value, const CodingPath& path);
};

// The result of one transcription. Several tasks may read and write it: each
// field has its own lock, held only while a copy goes in or out, so a read of
// several fields is no consistent snapshot, and two concurrent modify calls on
// one field can lose one of the changes.
class TranscriptionResult {
public:
    TranscriptionResult(std::string text, std::vector<TranscriptionSegment> segments, std::string language,
                        TranscriptionTimings timings, std::optional<float> seekTime);
    virtual ~TranscriptionResult() = default;

    std::string text() const { return text_.wrappedValue(); }
    void setText(std::string text) { text_.setWrappedValue(std::move(text)); }
    void modifyText(const std::function<void(std::string&)>& change) { modify(text_, change); }

    std::vector<TranscriptionSegment> segments() const { return segments_.wrappedValue(); }
    void setSegments(std::vector<TranscriptionSegment> segments) { segments_.setWrappedValue(std::move(segments)); }
    void modifySegments(const std::function<void(std::vector<TranscriptionSegment>&)>& change) {
        modify(segments_, change);
    }

    std::string language() const { return language_.wrappedValue(); }
    void setLanguage(std::string language) { language_.setWrappedValue(std::move(language)); }
    void modifyLanguage(const std::function<void(std::string&)>& change) { modify(language_, change); }

    TranscriptionTimings timings() const { return timings_.wrappedValue(); }
    void setTimings(TranscriptionTimings timings) { timings_.setWrappedValue(timings); }
    void modifyTimings(const std::function<void(TranscriptionTimings&)>& change) { modify(timings_, change); }

    std::optional<float> seekTime() const { return seekTime_.wrappedValue(); }
    void setSeekTime(std::optional<float> seekTime) { seekTime_.setWrappedValue(seekTime); }
    void modifySeekTime(const std::function<void(std::optional<float>&)>& change) { modify(seekTime_, change); }

    // The words of every segment that has them, in segment order.
    std::vector<WordTiming> allWords() const;

    // One debug line per segment: "[Segment i] [start --> end] text".
    void logSegments() const;
    // The timing report, logged at info level as one message.
    void logTimings() const;

private:
    friend struct JsonCoder<TranscriptionResult>;

    template <class Value>
    static void modify(celvan::PropertyLock<Value>& field, const std::function<void(Value&)>& change) {
        Value value = field.wrappedValue();
        change(value);
        field.setWrappedValue(std::move(value));
    }

    celvan::PropertyLock<std::string> text_;
    celvan::PropertyLock<std::vector<TranscriptionSegment>> segments_;
    celvan::PropertyLock<std::string> language_;
    celvan::PropertyLock<TranscriptionTimings> timings_;
    celvan::PropertyLock<std::optional<float>> seekTime_;
};

// The same five fields as a plain value, for callers that want a copy.
struct TranscriptionResultStruct {
    std::string text;
    std::vector<TranscriptionSegment> segments;
    std::string language;
    TranscriptionTimings timings;
    std::optional<float> seekTime;

    bool operator==(const TranscriptionResultStruct&) const = default;
};

// The plain value leaves an unset seekTime out and reads a missing one as unset.
template <>
struct JsonCoder<TranscriptionResultStruct> {
    static void encode(JsonWriter& writer, const TranscriptionResultStruct& result);
    static TranscriptionResultStruct decode(const Json& value, const CodingPath& path);
};

}  // namespace sonoscribe
