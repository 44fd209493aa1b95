#include "speech/model/TranscriptionSegment.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <functional>

#include "platform/foundation/HashCombine.h"
#include "platform/text/Normalization.h"

namespace sonoscribe {
namespace {

// ASCII is its own composed form, and nearly every transcript is ASCII.
bool isComposed(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

std::string composed(std::string_view text) {
    return platform::text::normalized(text, platform::text::NormalizationForm::C);
}

bool canonicallyEqual(const std::string& a, const std::string& b) {
    if (a == b) return true;
    if (isComposed(a) && isComposed(b)) return false;
    return composed(a) == composed(b);
}

std::size_t canonicalHash(const std::string& text) {
    if (isComposed(text)) return std::hash<std::string>{}(text);
    return std::hash<std::string>{}(composed(text));
}

class Hasher {
public:
    void feed(std::size_t value) { state_ = platform::hashCombine(state_, value); }
    void feed(int64_t value) { feed(static_cast<std::size_t>(value)); }
    void feed(float value) { feed(static_cast<std::size_t>(std::bit_cast<uint32_t>(value == 0.0f ? 0.0f : value))); }
    void feed(const std::string& value) { feed(canonicalHash(value)); }
    template <class Element>
    void feed(const std::vector<Element>& values) {
        feed(values.size());
        for (const Element& value : values) feed(value);
    }
    void feed(const TokenLogProbs& values) {
        feed(values.size());
        for (const auto& [token, logProb] : values) {
            feed(token);
            feed(logProb);
        }
    }
    void feed(const WordTiming& word) { feed(std::hash<WordTiming>{}(word)); }

    std::size_t value() const { return state_; }

private:
    std::size_t state_ = 0;
};

void encodeTokenLogProbs(JsonWriter& writer, const TokenLogProbs& values) {
    writer.beginObject();
    char key[24];
    for (const auto& [token, logProb] : values) {
        auto end = std::to_chars(key, key + sizeof key, token).ptr;
        writer.field(std::string_view(key, static_cast<std::size_t>(end - key)), logProb);
    }
    writer.endObject();
}

TokenLogProbs decodeTokenLogProbs(const Json& value, const CodingPath& path) {
    json::requireObject(value, path, "Dictionary");
    TokenLogProbs values;
    for (const auto& [key, logProb] : value.items()) {
        CodingPath keyPath = path.key(key);
        int64_t token = 0;
        auto [end, error] = std::from_chars(key.data(), key.data() + key.size(), token);
        if (error != std::errc() || end != key.data() + key.size() || key.empty()) {
            throw DecodingError(DecodingError::Kind::dataCorrupted, keyPath.render(),
                                "Expected Int key but found String key \"" + key + "\" instead.");
        }
        values.emplace(token, json::decodeFloat(logProb, keyPath));
    }
    return values;
}

}  // namespace

bool WordTiming::operator==(const WordTiming& other) const {
    return canonicallyEqual(word, other.word) && tokens == other.tokens && start == other.start && end == other.end &&
           probability == other.probability;
}

bool TranscriptionSegment::operator==(const TranscriptionSegment& other) const {
    return id == other.id && seek == other.seek && start == other.start && end == other.end &&
           canonicallyEqual(text, other.text) && tokens == other.tokens && tokenLogProbs == other.tokenLogProbs &&
           temperature == other.temperature && avgLogprob == other.avgLogprob &&
           compressionRatio == other.compressionRatio && noSpeechProb == other.noSpeechProb && words == other.words;
}

void JsonCoder<WordTiming>::encode(JsonWriter& writer, const WordTiming& word) {
    writer.beginObject();
    writer.field("word", std::string_view(word.word));
    writer.key("tokens");
    writer.array(word.tokens);
    writer.field("start", word.start);
    writer.field("end", word.end);
    writer.field("probability", word.probability);
    writer.endObject();
}

WordTiming JsonCoder<WordTiming>::decode(const Json& value, const CodingPath& path) {
    using namespace json;
    ObjectReader object(value, path, "WordTiming");
    WordTiming word;
    word.word = object.required("word", decodeString);
    word.tokens = object.required("tokens", decodeIntArray);
    word.start = object.required("start", decodeFloat);
    word.end = object.required("end", decodeFloat);
    word.probability = object.required("probability", decodeFloat);
    return word;
}

void JsonCoder<TranscriptionSegment>::encode(JsonWriter& writer, const TranscriptionSegment& segment) {
    writer.beginObject();
    writer.field("id", segment.id);
    writer.field("seek", segment.seek);
    writer.field("start", segment.start);
    writer.field("end", segment.end);
    writer.field("text", std::string_view(segment.text));
    writer.key("tokens");
    writer.array(segment.tokens);
    writer.key("tokenLogProbs");
    writer.beginArray();
    for (const TokenLogProbs& values : segment.tokenLogProbs) encodeTokenLogProbs(writer, values);
    writer.endArray();
    writer.field("temperature", segment.temperature);
    writer.field("avgLogprob", segment.avgLogprob);
    writer.field("compressionRatio", segment.compressionRatio);
    writer.field("noSpeechProb", segment.noSpeechProb);
    if (segment.words) {
        writer.key("words");
        writer.beginArray();
        for (const WordTiming& word : *segment.words) JsonCoder<WordTiming>::encode(writer, word);
        writer.endArray();
    }
    writer.endObject();
}

TranscriptionSegment JsonCoder<TranscriptionSegment>::decode(const Json& value, const CodingPath& path) {
    using namespace json;
    ObjectReader object(value, path, "TranscriptionSegment");
    TranscriptionSegment segment;
    segment.id = object.required("id", decodeInt);
    segment.seek = object.required("seek", decodeInt);
    segment.start = object.required("start", decodeFloat);
    segment.end = object.required("end", decodeFloat);
    segment.text = object.required("text", decodeString);
    segment.tokens = object.required("tokens", decodeIntArray);
    segment.tokenLogProbs = object.required("tokenLogProbs", [](const Json& array, const CodingPath& at) {
        return decodeArray<TokenLogProbs>(array, at, decodeTokenLogProbs);
    });
    segment.temperature = object.required("temperature", decodeFloat);
    segment.avgLogprob = object.required("avgLogprob", decodeFloat);
    segment.compressionRatio = object.required("compressionRatio", decodeFloat);
    segment.noSpeechProb = object.required("noSpeechProb", decodeFloat);
    segment.words = object.optional("words", [](const Json& array, const CodingPath& at) {
        return decodeArray<WordTiming>(array, at, JsonCoder<WordTiming>::decode);
    });
    return segment;
}

}  // namespace sonoscribe

std::size_t std::hash<sonoscribe::WordTiming>::operator()(const sonoscribe::WordTiming& word) const noexcept {
    sonoscribe::Hasher hasher;
    hasher.feed(word.word);
    hasher.feed(word.tokens);
    hasher.feed(word.start);
    hasher.feed(word.end);
    hasher.feed(word.probability);
    return hasher.value();
}

std::size_t std::hash<sonoscribe::TranscriptionSegment>::operator()(
    const sonoscribe::TranscriptionSegment& segment) const noexcept {
    sonoscribe::Hasher hasher;
    hasher.feed(segment.id);
    hasher.feed(segment.seek);
    hasher.feed(segment.start);
    hasher.feed(segment.end);
    hasher.feed(segment.text);
    hasher.feed(segment.tokens);
    hasher.feed(segment.tokenLogProbs);
    hasher.feed(segment.temperature);
    hasher.feed(segment.avgLogprob);
    hasher.feed(segment.compressionRatio);
    hasher.feed(segment.noSpeechProb);
    hasher.feed(static_cast<std::size_t>(segment.words.has_value()));
    if (segment.words) hasher.feed(*segment.words);
    return hasher.value();
}
