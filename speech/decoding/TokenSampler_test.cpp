#include "speech/decoding/TokenSampler.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>

#include "speech/model/WhisperError.h"

namespace sonoscribe {
namespace {

using platform::Float16;

std::shared_ptr<platform::MLMultiArray> row(const std::vector<float>& scores) {
    auto array = std::make_shared<platform::MLMultiArray>(std::vector<int64_t>{1, 1, static_cast<int64_t>(scores.size())},
                                                          platform::MLMultiArrayDataType::float16);
    for (std::size_t i = 0; i < scores.size(); ++i) array->buffer<Float16>()[i] = static_cast<Float16>(scores[i]);
    return array;
}

DecodingOptions topK(int64_t k) {
    DecodingOptions options;
    options.topK = k;
    return options;
}

TEST(GreedyTokenSampler, PicksTheLikeliestTokenAtTemperatureZero) {
    const auto scores = row({1, 3, 2, 3});
    GreedyTokenSampler sampler(0, 2, DecodingOptions());
    const double logSum = std::log(std::exp(1.0) + 2 * std::exp(3.0) + std::exp(2.0));
    for (int repeat = 0; repeat < 3; ++repeat) {
        const auto result = sampler.update({7}, *scores, {0.5f});
        EXPECT_EQ(result.tokens, (std::vector<int64_t>{7, 1}));
        ASSERT_EQ(result.logProbs.size(), 2u);
        EXPECT_NEAR(result.logProbs[1], 3 - logSum, 1e-5);
        EXPECT_FALSE(result.completed);
    }
    EXPECT_TRUE(sampler.update({}, *row({0, 0, 5}), {}).completed);
}

TEST(GreedyTokenSampler, DrawsAmongTheTopKInProportionAndRepeatsWithItsSeed) {
    // Token 2 is likeliest, then 0; with k = 2 nothing else may come.
    const auto scores = row({1, -1, 2, 0});
    std::map<int64_t, int> counts;
    std::vector<int64_t> firstRun;
    for (int run = 0; run < 2; ++run) {
        GreedyTokenSampler sampler(static_cast<Float16>(1.0f), 99, topK(2), 1234);
        std::vector<int64_t> picks;
        for (int draw = 0; draw < 2000; ++draw) {
            const auto result = sampler.update({}, *scores, {});
            picks.push_back(result.tokens.back());
            // The drawn token's own log-probability under the whole
            // distribution, whichever of the k it is.
            const double logSum = std::log(std::exp(1.0) + std::exp(-1.0) + std::exp(2.0) + std::exp(0.0));
            const double expected = (result.tokens.back() == 2 ? 2.0 : 1.0) - logSum;
            ASSERT_NEAR(result.logProbs.back(), expected, 1e-5) << result.tokens.back();
            if (run == 0) ++counts[result.tokens.back()];
        }
        if (run == 0) firstRun = picks;
        else EXPECT_EQ(picks, firstRun);
    }
    EXPECT_EQ(counts.size(), 2u);
    EXPECT_NEAR(counts[2] / 2000.0, std::exp(2.0) / (std::exp(2.0) + std::exp(1.0)), 0.04);

    // Out-of-range k is clamped: below 1 acts as 1, above the vocabulary as all.
    for (const int64_t k : {int64_t{0}, int64_t{-3}, int64_t{1}}) {
        GreedyTokenSampler sampler(static_cast<Float16>(0.7f), 99, topK(k), 5);
        for (int draw = 0; draw < 50; ++draw) EXPECT_EQ(sampler.update({}, *scores, {}).tokens.back(), 2) << k;
    }
    GreedyTokenSampler wide(static_cast<Float16>(1.0f), 99, topK(1000), 5);
    std::map<int64_t, int> all;
    for (int draw = 0; draw < 2000; ++draw) ++all[wide.update({}, *scores, {}).tokens.back()];
    EXPECT_EQ(all.size(), 4u);
}

// A NaN never wins, wherever it sits and at any temperature; a step with
// nothing but NaN is a decoding failure, never a token outside the
// vocabulary.
TEST(GreedyTokenSampler, PassesOverNaNLogitsAndFailsWhenAllAreNaN) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const struct {
        const char* name;
        std::vector<float> scores;
    } cases[] = {
        {"first", {nan, 1, 3, 2}},
        {"in the middle", {1, nan, 3, 2, 0, 0, 0, 0, 0, 0}},
        {"after the largest", {1, 0, 3, nan, 2, 0, 0, 0, 0, nan, 0}},
    };
    for (const auto& c : cases) {
        for (const float temperature : {0.0f, 1.0f}) {
            SCOPED_TRACE(std::string(c.name) + " at " + std::to_string(temperature));
            GreedyTokenSampler sampler(static_cast<Float16>(temperature), 99, topK(1), 7);
            const auto result = sampler.update({}, *row(c.scores), {});
            EXPECT_EQ(result.tokens.back(), 2);
            EXPECT_TRUE(std::isfinite(result.logProbs.back()));
            EXPECT_LE(result.logProbs.back(), 0.0f);
        }
    }
    for (const float temperature : {0.0f, 1.0f}) {
        GreedyTokenSampler sampler(static_cast<Float16>(temperature), 99, topK(3), 7);
        try {
            sampler.update({}, *row({nan, nan, nan}), {});
            ADD_FAILURE() << temperature;
        } catch (const WhisperError& error) {
            EXPECT_EQ(error, WhisperError::decodingFailed("Decoding failed: no logit of the step is a number"));
        }
    }
}

TEST(TokenSamplers, FinalizeEndsWithOneEndTokenAndTheBeamStubRefusesWork) {
    GreedyTokenSampler sampler(0, 9, DecodingOptions());
    const struct {
        std::vector<int64_t> tokens;
        std::vector<float> logProbs;
        SamplingResult expected;
    } cases[] = {
        {{}, {}, {{9}, {0}, true}},
        {{1, 2}, {-1, -2}, {{1, 2, 9}, {-1, -2, 0}, true}},
        {{1, 9}, {-1, -0.5f}, {{1, 9}, {-1, -0.5f}, true}},
    };
    for (const auto& c : cases) EXPECT_EQ(sampler.finalize(c.tokens, c.logProbs), c.expected);

    EXPECT_EQ(BeamSearchTokenSampler(5, 9, 1.0f).maxCandidates, 5);
    try {
        BeamSearchTokenSampler(5, 9, 0.1f);
        ADD_FAILURE();
    } catch (const std::invalid_argument& error) {
        EXPECT_STREQ(error.what(), "Invalid beam size 5 or patience 0.1");
    }
    BeamSearchTokenSampler beam(2, 9, 1.0f);
    EXPECT_THROW(beam.update({}, *row({0, 1}), {}), std::logic_error);
}

}  // namespace
}  // namespace sonoscribe
