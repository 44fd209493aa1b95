#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "speech/model/JsonCoding.h"

namespace sonoscribe {

// One word with its time span in seconds.
struct WordTiming {
    std::string word;
    std::vector<int64_t> tokens;
    float start = 0;
    float end = 0;
    float probability = 0;

    float duration() const { return end - start; }

    // Numbers compare numerically (a NaN is unequal to everything, 0.0 equals
    // -0.0); texts that are canonically equivalent are equal, whichever
    // composition of their accents they came in.
    bool operator==(const WordTiming& other) const;
};

// Per decoded token, its id mapped to its log-probability.
using TokenLogProbs = std::map<int64_t, float>;

// One timed stretch of text with its tokens and the quality figures of the
// window it came from.
struct TranscriptionSegment {
    int64_t id = 0;
    int64_t seek = 0;
    float start = 0;
    float end = 0;
    std::string text;
    std::vector<int64_t> tokens;
    std::vector<TokenLogProbs> tokenLogProbs;
    float temperature = 0;
    float avgLogprob = 0;
    float compressionRatio = 0;
    float noSpeechProb = 0;
    // nullopt when word timings were not computed for the segment.
    std::optional<std::vector<WordTiming>> words;

    // Negative when end lies before start; nothing clamps it.
    float duration() const { return end - start; }

    // As WordTiming: field by field, text by canonical equivalence.
    bool operator==(const TranscriptionSegment& other) const;
};

template <>
struct JsonCoder<WordTiming> {
    static void encode(JsonWriter& writer, const WordTiming& word);
    static WordTiming decode(const Json& value, const CodingPath& path);
};

template <>
struct JsonCoder<TranscriptionSegment> {
    static void encode(JsonWriter& writer, const TranscriptionSegment& segment);
    static TranscriptionSegment decode(const Json& value, const CodingPath& path);
};

}  // namespace sonoscribe

// Consistent with ==: 0.0 and -0.0 hash alike, texts hash by their composed
// form, and array lengths and the presence of words are fed so that
// different shapes do not collide.
template <>
struct std::hash<sonoscribe::WordTiming> {
    std::size_t operator()(const sonoscribe::WordTiming& word) const noexcept;
};

template <>
struct std::hash<sonoscribe::TranscriptionSegment> {
    std::size_t operator()(const sonoscribe::TranscriptionSegment& segment) const noexcept;
};
