#include "speech/model/DecodingInputs.h"

#include <gtest/gtest.h>

#include "speech/model/DecodingResult.h"

namespace sonoscribe {
namespace {

using platform::Float16;
using platform::MLMultiArray;
using platform::MLMultiArrayDataType;

std::shared_ptr<MLMultiArray> filled(std::vector<int64_t> shape, MLMultiArrayDataType type, float value) {
    auto array = std::make_shared<MLMultiArray>(std::move(shape), type);
    for (int64_t i = 0; i < array->count(); ++i) {
        if (type == MLMultiArrayDataType::float16) {
            array->buffer<Float16>()[i] = static_cast<Float16>(value);
        } else {
            array->buffer<int32_t>()[i] = static_cast<int32_t>(value);
        }
    }
    return array;
}

DecodingInputs makeInputs(int64_t contextLength) {
    return DecodingInputs({50258}, filled({1}, MLMultiArrayDataType::int32, 50258),
                          filled({1}, MLMultiArrayDataType::int32, 17),
                          filled({1, 8, 1, contextLength}, MLMultiArrayDataType::float16, 3),
                          filled({1, 8, 1, contextLength}, MLMultiArrayDataType::float16, 3),
                          filled({contextLength, 1500}, MLMultiArrayDataType::float16, 3),
                          filled({1, contextLength}, MLMultiArrayDataType::float16, 7),
                          filled({1, contextLength}, MLMultiArrayDataType::float16, 7));
}

TEST(DecodingInputs, ResetRewindsPositionAndMasks) {
    struct Case {
        int64_t arrayLength;
        int64_t maxTokenContext;
        int64_t rewritten;
    };
    // A context longer than the masks stops at their end instead of writing past it.
    const Case cases[] = {{224, 224, 224}, {224, 1, 1}, {224, 100, 100}, {10, 224, 10}, {224, 0, 1}};
    for (const Case& c : cases) {
        DecodingInputs inputs = makeInputs(c.arrayLength);
        inputs.reset(c.maxTokenContext);
        EXPECT_EQ(inputs.cacheLength()->buffer<int32_t>()[0], 0);
        auto padding = inputs.decoderKeyPaddingMask->buffer<Float16>();
        auto update = inputs.kvCacheUpdateMask->buffer<Float16>();
        EXPECT_EQ(static_cast<float>(padding[0]), 0.0f);
        EXPECT_EQ(static_cast<float>(update[0]), 1.0f);
        for (int64_t i = 1; i < c.arrayLength; ++i) {
            bool reset = i < c.rewritten;
            EXPECT_EQ(static_cast<float>(padding[i]), reset ? -10000.0f : 7.0f) << i;
            EXPECT_EQ(static_cast<float>(update[i]), reset ? 0.0f : 7.0f) << i;
        }
        // The caches keep their stale contents; the masks hide them.
        EXPECT_EQ(static_cast<float>(inputs.keyCache->buffer<Float16>()[5]), 3.0f);
        EXPECT_EQ(inputs.initialPrompt(), std::vector<int64_t>{50258});
        EXPECT_EQ(inputs.inputIds()->buffer<int32_t>()[0], 50258);
    }
}

TEST(DecodingResult, EmptyResultsCarryNoTimings) {
    DecodingResult empty = DecodingResult::emptyResults();
    EXPECT_EQ(empty.language, "");
    EXPECT_EQ(empty.text, "");
    EXPECT_TRUE(empty.tokens.empty() && empty.tokenLogProbs.empty() && empty.languageProbs.empty());
    EXPECT_EQ(empty.avgLogProb, 0.0f);
    EXPECT_FALSE(empty.timings.has_value());
    EXPECT_FALSE(empty.cache.has_value());
    EXPECT_FALSE(empty.fallback.has_value());
}

}  // namespace
}  // namespace sonoscribe
