#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/coreml/MLMultiArray.h"
#include "speech/model/DecodingFallback.h"
#include "speech/model/TranscriptionSegment.h"
#include "speech/model/TranscriptionTimings.h"

namespace sonoscribe {

// The caches one decoder prediction returns.
struct DecodingCache {
    std::shared_ptr<platform::MLMultiArray> keyCache;
    std::shared_ptr<platform::MLMultiArray> valueCache;
    std::shared_ptr<platform::MLMultiArray> alignmentWeights;
};

// What one decoding pass over one window yields.
struct DecodingResult {
    std::string language;
    std::map<std::string, float> languageProbs;
    std::vector<int64_t> tokens;
    std::vector<TokenLogProbs> tokenLogProbs;
    std::string text;
    float avgLogProb = 0;
    float noSpeechProb = 0;
    float temperature = 0;
    float compressionRatio = 0;
    std::optional<DecodingCache> cache;
    std::optional<TranscriptionTimings> timings;
    std::optional<DecodingFallback> fallback;

    // A pass that produced nothing: empty texts and lists, zero measures, no
    // timings (not a zeroed timing record).
    static DecodingResult emptyResults() { return {}; }
};

// One piece of long audio, with the offset in samples of its first sample.
struct AudioChunk {
    int64_t seekOffsetIndex = 0;
    std::vector<float> audioSamples;
};

}  // namespace sonoscribe
