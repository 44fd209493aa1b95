#pragma once

#include <optional>
#include <string>

#include "speech/model/DecodingOptions.h"

namespace sonoscribe {

// Whether one decoding pass is bad enough to be decoded again at a higher
// temperature, and the rule that said so.
struct DecodingFallback {
    bool needsFallback;
    std::string fallbackReason;

    // The decision over one pass's measures; nullopt when no rule applies,
    // which means neither a retry nor silence. Comparisons are strict, so a
    // NaN measure triggers nothing.
    static std::optional<DecodingFallback> decide(const DecodingOptions& options, bool isFirstTokenLogProbTooLow,
                                                  float noSpeechProb, float compressionRatio, float avgLogProb);

    bool operator==(const DecodingFallback&) const = default;
};

}  // namespace sonoscribe
