#include "speech/decoding/TextUtilities.h"

#include <gtest/gtest.h>

#include <cmath>

namespace sonoscribe {
namespace {

TEST(TextUtilities, CompressionRatioScoresRepetitionHigh) {
    EXPECT_TRUE(std::isinf(TextUtilities::compressionRatio(std::string())));
    EXPECT_GT(TextUtilities::compressionRatio(std::string(400, 'a')), 2.4f);
    EXPECT_LT(TextUtilities::compressionRatio(std::string("The quick brown fox jumps over the lazy dog.")), 1.2f);
    // "abc" deflates to 5 bytes: 3 / 5.
    EXPECT_FLOAT_EQ(TextUtilities::compressionRatio(std::string("abc")), 0.6f);

    // Nothing decoded is no loop.
    EXPECT_EQ(TextUtilities::compressionRatio(std::vector<int64_t>{}), 0.0f);
    std::vector<int64_t> repeated(200, 995), distinct;
    for (int64_t i = 0; i < 200; ++i) distinct.push_back(i * 251 % 50000);
    EXPECT_GT(TextUtilities::compressionRatio(repeated), 2.4f);
    EXPECT_GT(TextUtilities::compressionRatio(repeated), TextUtilities::compressionRatio(distinct));
}

}  // namespace
}  // namespace sonoscribe
