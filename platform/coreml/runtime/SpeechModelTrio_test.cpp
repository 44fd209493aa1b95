#include <cmath>
#include <complex>
#include <random>

#include <gtest/gtest.h>

#include "platform/coreml/runtime/RuntimeModel.h"
#include "tests/support/SpeechModelTrio.h"
#include "tests/support/TempDirectory.h"

namespace platform::coreml::runtime {
namespace {

using testsupport::TrioDimensions;

// log10 mel spectrogram computed directly: a DFT of every Hann-windowed frame
// of the reflect-padded audio, the filterbank, then the clamp and scaling.
std::vector<float> directLogMel(const std::vector<float>& audio, const TrioDimensions& dims) {
    const int64_t n = dims.fftSize, half = n / 2, bins = n / 2 + 1;
    const auto length = static_cast<int64_t>(audio.size());
    const auto sample = [&](int64_t i) {
        i -= half;
        if (i < 0) i = -i;
        if (i >= length) i = 2 * (length - 1) - i;
        return static_cast<double>(audio[static_cast<size_t>(i)]);
    };
    const std::vector<float> filters = testsupport::melFilters(dims);
    std::vector<double> logMel(static_cast<size_t>(dims.melBins * dims.frames));
    std::vector<double> power(static_cast<size_t>(bins));
    for (int64_t t = 0; t < dims.frames; ++t) {
        for (int64_t k = 0; k < bins; ++k) {
            std::complex<double> sum = 0;
            for (int64_t j = 0; j < n; ++j) {
                const double window = 0.5 - 0.5 * std::cos(2 * M_PI * static_cast<double>(j) / static_cast<double>(n));
                sum += sample(t * dims.hop + j) * window * std::polar(1.0, -2 * M_PI * static_cast<double>(k * j) / static_cast<double>(n));
            }
            power[static_cast<size_t>(k)] = std::norm(sum);
        }
        for (int64_t m = 0; m < dims.melBins; ++m) {
            double energy = 0;
            for (int64_t k = 0; k < bins; ++k) energy += filters[static_cast<size_t>(m * bins + k)] * power[static_cast<size_t>(k)];
            logMel[static_cast<size_t>(m * dims.frames + t)] = std::log10(std::max(energy, 1e-10));
        }
    }
    const double peak = *std::max_element(logMel.begin(), logMel.end());
    std::vector<float> result;
    for (double v : logMel) result.push_back(static_cast<float>((std::max(v, peak - 8.0) + 4.0) / 4.0));
    return result;
}

TEST(SpeechModelTrio, MelProgramMatchesADirectStftReference) {
    const TrioDimensions dims = TrioDimensions::tiny();
    testsupport::TempDirectory dir;
    auto model = RuntimeModel::load(testsupport::writeMelSpectrogram(dir.path() / "MelSpectrogram.mlmodelc", dims));
    EXPECT_EQ(model->inputs()[0].shape, (Shape{dims.samples}));
    EXPECT_EQ(model->outputs()[0].shape, (Shape{1, dims.melBins, 1, dims.frames}));
    std::mt19937 random(5);
    std::normal_distribution<float> noise(0.0f, 0.01f);
    std::vector<float> audio(static_cast<size_t>(dims.samples));
    for (size_t i = 0; i < audio.size(); ++i) {
        const double t = static_cast<double>(i) / 16000.0;
        audio[i] = static_cast<float>(0.4 * std::sin(2 * M_PI * 440 * t) + 0.2 * std::sin(2 * M_PI * 1870 * t) *
                                                                             (i > audio.size() / 2 ? 1.0 : 0.0)) + noise(random);
    }
    const auto out = model->predict({{"audio", Tensor::of(DataType::Float32, {dims.samples}, audio)}});
    const Tensor& features = out.at("melspectrogram_features");
    EXPECT_EQ(features.dataType(), DataType::Float16);
    const std::vector<float> actual = features.toFloats();
    const std::vector<float> expected = directLogMel(audio, dims);
    ASSERT_EQ(actual.size(), expected.size());
    float worst = 0;
    for (size_t i = 0; i < actual.size(); ++i) worst = std::max(worst, std::fabs(actual[i] - expected[i]) / (1 + std::fabs(expected[i])));
    EXPECT_LT(worst, 2e-3f);
}

struct Decoding {
    TrioDimensions dims = TrioDimensions::tiny();
    testsupport::TempDirectory dir;
    Tensor encoderOutput;
    std::vector<int32_t> tokens;

    Decoding() {
        std::mt19937 random(11);
        std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
        std::vector<float> embeds(static_cast<size_t>(dims.width * dims.encoderFrames));
        for (auto& v : embeds) v = uniform(random);
        encoderOutput = Tensor::of(DataType::Float16, {1, dims.width, 1, dims.encoderFrames}, embeds);
        std::uniform_int_distribution<int32_t> token(0, static_cast<int32_t>(dims.vocabulary) - 1);
        for (int i = 0; i < 12; ++i) tokens.push_back(token(random));
    }
};

TEST(SpeechModelTrio, DecoderDescribesTheCacheContract) {
    Decoding d;
    auto model = RuntimeModel::load(testsupport::writeTextDecoder(d.dir.path() / "TextDecoder.mlmodelc", d.dims, 3));
    std::map<std::string, FeatureSpec> inputs, outputs;
    for (const auto& f : model->inputs()) inputs.emplace(f.name, f);
    for (const auto& f : model->outputs()) outputs.emplace(f.name, f);
    EXPECT_EQ(inputs.size(), 7u);
    EXPECT_EQ(inputs.at("key_cache").shape, (Shape{1, d.dims.cacheWidth(), 1, d.dims.cacheSlots}));
    EXPECT_EQ(inputs.at("input_ids").dataType, DataType::Int32);
    EXPECT_EQ(inputs.at("kv_cache_update_mask").dataType, DataType::Int32);
    EXPECT_EQ(inputs.at("encoder_output_embeds").shape, (Shape{1, d.dims.width, 1, d.dims.encoderFrames}));
    EXPECT_EQ(outputs.at("logits").shape, (Shape{1, 1, d.dims.vocabulary}));
    EXPECT_EQ(outputs.at("key_cache_updates").shape, (Shape{1, d.dims.cacheWidth(), 1, 1}));
    EXPECT_EQ(outputs.at("alignment_heads_weights").shape, (Shape{1, d.dims.encoderFrames}));
    for (const auto& [name, declared] : outputs) EXPECT_EQ(declared.dataType, DataType::Float16) << name;
}

// Both product forms, each against the full pass, and the matmul form's
// logits against the linear form's step by step.
TEST(SpeechModelTrio, StepwiseDecodingWithTheCacheMatchesOneFullPass) {
    Decoding d;
    const auto tokens = static_cast<int64_t>(d.tokens.size());
    auto full = RuntimeModel::load(testsupport::writeFullSequenceDecoder(d.dir.path() / "Full.mlmodelc", d.dims, 3, tokens));

    const auto reference = full->predict({{"input_ids", Tensor::of(DataType::Int32, {tokens}, d.tokens)},
                                          {"encoder_output_embeds", d.encoderOutput}})
                               .at("logits")
                               .toFloats();

    // The engine's side of the contract: caches start at zero, slot 0 open and
    // marked for writing; after each step the new entries go into the slot,
    // the next slot opens and the update mark moves on.
    const int64_t e = d.dims.cacheWidth(), s = d.dims.cacheSlots, v = d.dims.vocabulary;
    std::vector<std::vector<float>> linearLogits;
    for (const auto form : {testsupport::ProductForm::linearEinsum, testsupport::ProductForm::matmul}) {
        const bool matmul = form == testsupport::ProductForm::matmul;
        auto stepwise = RuntimeModel::load(
            testsupport::writeTextDecoder(d.dir.path() / (matmul ? "Matmul.mlmodelc" : "TextDecoder.mlmodelc"), d.dims, 3, form));
        Tensor keyCache(DataType::Float16, {1, e, 1, s}), valueCache(DataType::Float16, {1, e, 1, s});
        std::vector<int32_t> updateMask(static_cast<size_t>(s), 0);
        std::vector<float> paddingMask(static_cast<size_t>(s), -10000.0f);
        updateMask[0] = 1;
        paddingMask[0] = 0;
        float worst = 0;
        for (int64_t p = 0; p < tokens; ++p) {
            const auto out = stepwise->predict({
                {"input_ids", Tensor::of(DataType::Int32, {1}, std::vector<int32_t>{d.tokens[static_cast<size_t>(p)]})},
                {"cache_length", Tensor::of(DataType::Int32, {1}, std::vector<int32_t>{static_cast<int32_t>(p)})},
                {"key_cache", keyCache},
                {"value_cache", valueCache},
                {"kv_cache_update_mask", Tensor::of(DataType::Int32, {1, s}, updateMask)},
                {"encoder_output_embeds", d.encoderOutput},
                {"decoder_key_padding_mask", Tensor::of(DataType::Float16, {1, s}, paddingMask)},
            });
            const auto logits = out.at("logits").toFloats();
            for (int64_t i = 0; i < v; ++i) {
                const float expected = reference[static_cast<size_t>(p * v + i)];
                worst = std::max(worst, std::fabs(logits[static_cast<size_t>(i)] - expected) / (1 + std::fabs(expected)));
            }
            if (!matmul) {
                linearLogits.push_back(logits);
            } else {
                for (int64_t i = 0; i < v; ++i) {
                    const float linear = linearLogits[static_cast<size_t>(p)][static_cast<size_t>(i)];
                    ASSERT_NEAR(logits[static_cast<size_t>(i)], linear, 4e-3f * (1 + std::fabs(linear))) << "step " << p << " at " << i;
                }
            }
            const auto* keys = out.at("key_cache_updates").data<Float16>();
            const auto* values = out.at("value_cache_updates").data<Float16>();
            for (int64_t c = 0; c < e; ++c) {
                keyCache.mutableData<Float16>()[c * s + p] = keys[c];
                valueCache.mutableData<Float16>()[c * s + p] = values[c];
            }
            const auto alignment = out.at("alignment_heads_weights").toFloats();
            float total = 0;
            for (float a : alignment) total += a;
            EXPECT_NEAR(total, 1.0f, 1e-2f) << "cross-attention weights of step " << p;
            if (p + 1 < s) {
                paddingMask[static_cast<size_t>(p + 1)] = 0;
                updateMask[static_cast<size_t>(p)] = 0;
                updateMask[static_cast<size_t>(p + 1)] = 1;
            }
        }
        EXPECT_LT(worst, 2e-2f) << (matmul ? "matmul form" : "linear form");
    }
}

}  // namespace
}  // namespace platform::coreml::runtime
