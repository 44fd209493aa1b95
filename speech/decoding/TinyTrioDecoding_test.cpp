#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "platform/coreml/MLDictionaryFeatureProvider.h"
#include "speech/decoding/TextDecoder.h"
#include "tests/support/SpeechModelTrio.h"
#include "tests/support/TempDirectory.h"

namespace sonoscribe {
namespace {

using platform::MLMultiArray;
using platform::MLMultiArrayDataType;

// A tokenizer for the tiny vocabulary of 97: every id is text; the special
// ids lie past the logits, so the random model never ends a window early.
class TinyTokenizer final : public WhisperTokenizer {
public:
    std::vector<int64_t> encode(const std::string&) const override { return {}; }
    std::string decode(const std::vector<int64_t>& tokens) const override {
        std::string text;
        for (const int64_t token : tokens) text += " " + std::to_string(token);
        return text;
    }
    std::optional<int64_t> convertTokenToId(const std::string&) const override { return std::nullopt; }
    std::optional<std::string> convertIdToToken(int64_t id) const override { return std::to_string(id); }
    const SpecialTokens& specialTokens() const override { return special_; }
    const std::set<int64_t>& allLanguageTokens() const override { return languages_; }
    WordTokens splitToWordTokens(const std::vector<int64_t>&) const override { return {}; }

private:
    SpecialTokens special_{.endToken = 97, .englishToken = 98, .noSpeechToken = 99, .noTimestampsToken = 2,
                           .specialTokenBegin = 97, .startOfPreviousToken = 100, .startOfTranscriptToken = 1,
                           .timeTokenBegin = 101, .transcribeToken = 102, .translateToken = 103, .whitespaceToken = 3};
    std::set<int64_t> languages_;
};

double logSumExp(const std::vector<double>& row) {
    const double peak = *std::max_element(row.begin(), row.end());
    double sum = 0;
    for (const double v : row) sum += std::exp(v - peak);
    return peak + std::log(sum);
}

TEST(TinyTrioDecoding, TheCachedLoopAgreesWithFullCausalPassesOverAWholeWindow) {
    testsupport::TempDirectory folder;
    const auto dims = testsupport::TrioDimensions::tiny();
    constexpr uint32_t seed = 11;
    TextDecoder decoder;
    decoder.loadModel(platform::URL::fileURLWithPath(
                          testsupport::writeTextDecoder(folder.path() / "TextDecoder.mlmodelc", dims, seed).string(), true),
                      platform::MLComputeUnits::cpuOnly, false);
    decoder.setTokenizer(std::make_shared<TinyTokenizer>());

    auto embeddings = std::make_shared<MLMultiArray>(std::vector<int64_t>{1, dims.width, 1, dims.encoderFrames},
                                                     MLMultiArrayDataType::float16);
    std::mt19937 random(5);
    std::normal_distribution<float> normal;
    for (auto& value : embeddings->buffer<platform::Float16>()) value = static_cast<platform::Float16>(normal(random));

    DecodingOptions options;
    options.withoutTimestamps = true;
    auto inputs = decoder.prefillDecoderInputs(decoder.prepareDecoderInputs({}), options);
    GreedyTokenSampler sampler(0, 97, options);
    const auto result = decoder.decodeText(*makeStageValue(embeddings), *inputs, sampler, options, {});
    // A 16-position cache: the window runs until 15 tokens are held.
    ASSERT_EQ(result.tokens.size(), 16u);
    ASSERT_EQ(result.tokens.back(), 97);

    const int64_t count = 15;
    const auto full = platform::MLModel::load(
        platform::URL::fileURLWithPath(
            testsupport::writeFullSequenceDecoder(folder.path() / "FullDecoder.mlmodelc", dims, seed, count).string(), true),
        platform::MLModelConfiguration{});
    auto ids = std::make_shared<MLMultiArray>(std::vector<int64_t>{count}, MLMultiArrayDataType::int32);
    for (int64_t i = 0; i < count; ++i) ids->buffer<int32_t>()[static_cast<std::size_t>(i)] = static_cast<int32_t>(result.tokens[static_cast<std::size_t>(i)]);
    const platform::MLDictionaryFeatureProvider fullInput({{"input_ids", platform::MLFeatureValue(ids)},
                                                          {"encoder_output_embeds", platform::MLFeatureValue(embeddings)}});
    const auto logits = full->prediction(fullInput)->featureValue("logits")->multiArrayValue();
    ASSERT_EQ(logits->shape(), (std::vector<int64_t>{1, count, dims.vocabulary}));

    // Every kept token is the full pass's best at the position before it,
    // with the same log-probability.
    for (int64_t position = 1; position + 1 < count; ++position) {
        std::vector<double> row(static_cast<std::size_t>(dims.vocabulary));
        for (int64_t v = 0; v < dims.vocabulary; ++v) {
            row[static_cast<std::size_t>(v)] =
                static_cast<double>(logits->buffer<platform::Float16>()[static_cast<std::size_t>(position * dims.vocabulary + v)]);
        }
        const int64_t chosen = result.tokens[static_cast<std::size_t>(position + 1)];
        const double best = *std::max_element(row.begin(), row.end());
        EXPECT_NEAR(row[static_cast<std::size_t>(chosen)], best, 2e-2) << position;
        const double logProb = row[static_cast<std::size_t>(chosen)] - logSumExp(row);
        EXPECT_NEAR(result.tokenLogProbs[static_cast<std::size_t>(position + 1)].at(chosen), logProb, 3e-2) << position;
    }
}

}  // namespace
}  // namespace sonoscribe
