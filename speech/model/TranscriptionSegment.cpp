#include "speech/model/TranscriptionSegment.h"

#include <bit>
#include <charconv>
#include <functional>

namespace sonoscribe {
namespace {

class Hasher {
public:
    void feed(std::size_t value) { state_ ^= value + 0x9e3779b97f4a7c15ull + (state_ << 6) + (state_ >> 2); }
    void feed(int64_t value) { feed(static_cast<std::size_t>(value)); }
    void feed(float value) { feed(static_cast<std::size_t>(std::bit_cast<uint32_t>(value == 0.0f ? 0.0f : value))); }
    void feed(const std::string& value) { feed(std::hash<std::string>{}(value)); }
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

Json encodeTokenLogProbs(const TokenLogProbs& values) {
    Json object = Json::object();
    char key[24];
    for (const auto& [token, logProb] : values) {
        auto end = std::to_chars(key, key + sizeof key, token).ptr;
        object[std::string(key, end)] = json::encodeFloat(logProb);
    }
    return object;
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

Json JsonCoder<WordTiming>::encode(const WordTiming& word) {
    Json object = Json::object();
    object["word"] = word.word;
    object["tokens"] = json::encodeArray(word.tokens);
    object["start"] = json::encodeFloat(word.start);
    object["end"] = json::encodeFloat(word.end);
    object["probability"] = json::encodeFloat(word.probability);
    return object;
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

Json JsonCoder<TranscriptionSegment>::encode(const TranscriptionSegment& segment) {
    Json object = Json::object();
    object["id"] = segment.id;
    object["seek"] = segment.seek;
    object["start"] = json::encodeFloat(segment.start);
    object["end"] = json::encodeFloat(segment.end);
    object["text"] = segment.text;
    object["tokens"] = json::encodeArray(segment.tokens);
    Json logProbs = Json::array();
    for (const TokenLogProbs& values : segment.tokenLogProbs) logProbs.push_back(encodeTokenLogProbs(values));
    object["tokenLogProbs"] = std::move(logProbs);
    object["temperature"] = json::encodeFloat(segment.temperature);
    object["avgLogprob"] = json::encodeFloat(segment.avgLogprob);
    object["compressionRatio"] = json::encodeFloat(segment.compressionRatio);
    object["noSpeechProb"] = json::encodeFloat(segment.noSpeechProb);
    if (segment.words) {
        Json words = Json::array();
        for (const WordTiming& word : *segment.words) words.push_back(JsonCoder<WordTiming>::encode(word));
        object["words"] = std::move(words);
    }
    return object;
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
