#include "speech/model/DecodingFallback.h"

namespace sonoscribe {

std::optional<DecodingFallback> DecodingFallback::decide(const DecodingOptions& options,
                                                         bool isFirstTokenLogProbTooLow, float noSpeechProb,
                                                         float compressionRatio, float avgLogProb) {
    if (isFirstTokenLogProbTooLow) return DecodingFallback{true, "firstTokenLogProbThreshold"};
    // Silence outranks the quality rules: a silent window is not worth
    // decoding again however odd its text looks.
    if (options.noSpeechThreshold && noSpeechProb > *options.noSpeechThreshold) {
        return DecodingFallback{false, "silence"};
    }
    if (options.compressionRatioThreshold && compressionRatio > *options.compressionRatioThreshold) {
        return DecodingFallback{true, "compressionRatioThreshold"};
    }
    if (options.logProbThreshold && avgLogProb < *options.logProbThreshold) {
        return DecodingFallback{true, "logProbThreshold"};
    }
    return std::nullopt;
}

}  // namespace sonoscribe
