#include "speech/model/DecodingFallback.h"

#include <cmath>

#include <gtest/gtest.h>

namespace sonoscribe {
namespace {

TEST(DecodingFallback, FirstMatchingRuleDecides) {
    DecodingOptions defaults;
    DecodingOptions noLogProbThreshold = defaults;
    noLogProbThreshold.logProbThreshold.reset();
    DecodingOptions noSilenceThreshold = defaults;
    noSilenceThreshold.noSpeechThreshold.reset();
    const float nan = std::nanf("");

    struct Case {
        const char* name;
        const DecodingOptions& options;
        bool firstTokenTooLow;
        float noSpeechProb;
        float compressionRatio;
        float avgLogProb;
        std::optional<DecodingFallback> expected;
    };
    const Case cases[] = {
        {"first token outranks silence", defaults, true, 0.9f, 1.0f, 0.0f,
         DecodingFallback{true, "firstTokenLogProbThreshold"}},
        {"silence outranks compression", defaults, false, 0.9f, 5.0f, -3.0f, DecodingFallback{false, "silence"}},
        {"silence needs strictly more", defaults, false, 0.6f, 1.0f, 0.0f, std::nullopt},
        {"ratio at the threshold is fine", defaults, false, 0.0f, 2.4f, -1.0f, std::nullopt},
        {"ratio above the threshold", defaults, false, 0.0f, 2.5f, 0.0f,
         DecodingFallback{true, "compressionRatioThreshold"}},
        {"compression outranks log-prob", defaults, false, 0.0f, 2.5f, -3.0f,
         DecodingFallback{true, "compressionRatioThreshold"}},
        {"log-prob below the threshold", defaults, false, 0.0f, 1.0f, -1.2f,
         DecodingFallback{true, "logProbThreshold"}},
        {"nil log-prob threshold skips its rule", noLogProbThreshold, false, 0.0f, 1.0f, -1.2f, std::nullopt},
        {"nil silence threshold skips its rule", noSilenceThreshold, false, 0.99f, 2.5f, 0.0f,
         DecodingFallback{true, "compressionRatioThreshold"}},
        {"NaN measures trigger nothing", defaults, false, nan, nan, nan, std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(DecodingFallback::decide(c.options, c.firstTokenTooLow, c.noSpeechProb, c.compressionRatio,
                                           c.avgLogProb),
                  c.expected)
            << c.name;
    }
}

}  // namespace
}  // namespace sonoscribe
