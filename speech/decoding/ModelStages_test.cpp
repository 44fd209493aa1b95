#include <gtest/gtest.h>

#include "mlcore/foundation/MLMultiArrayExtensions.h"
#include "speech/decoding/AudioEncoder.h"
#include "speech/decoding/FeatureExtractor.h"
#include "speech/decoding/ModelFeatures.h"
#include "speech/decoding/TextDecoder.h"
#include "speech/model/WhisperError.h"
#include "tests/support/ModelBundleWriter.h"
#include "tests/support/SpeechModelTrio.h"
#include "tests/support/TempDirectory.h"

namespace sonoscribe {
namespace {

using platform::MLMultiArray;
using platform::MLMultiArrayDataType;

platform::URL urlOf(const std::filesystem::path& path) { return platform::URL::fileURLWithPath(path.string(), true); }

struct NotAnArray : AudioProcessorOutputType, FeatureExtractorOutputType {};

template <class Call>
void expectError(Call call, const WhisperError& expected) {
    try {
        call();
        ADD_FAILURE() << expected.what();
    } catch (const WhisperError& error) {
        EXPECT_EQ(error, expected);
    }
}

TEST(ModelStages, RunTheMelAndEncoderModelsAndReadTheirSizes) {
    testsupport::TempDirectory folder;
    const auto dims = testsupport::TrioDimensions::tiny();
    FeatureExtractor mel;
    AudioEncoder encoder;
    EXPECT_FALSE(mel.melCount() || mel.windowSamples() || encoder.embedSize() || encoder.sequenceLength());
    expectError([&] { mel.logMelSpectrogram(NotAnArray()); },
                WhisperError::audioProcessingFailed("FeatureExtractor input must be MLMultiArray"));
    expectError([&] { encoder.encodeFeatures(static_cast<const FeatureExtractorOutputType&>(NotAnArray())); },
                WhisperError::audioProcessingFailed("AudioEncoder input must be MLMultiArray"));
    const auto audio = makeStageValue(std::make_shared<MLMultiArray>(std::vector<int64_t>{dims.samples}, MLMultiArrayDataType::float32));
    expectError([&] { mel.logMelSpectrogram(*audio); }, WhisperError::modelsUnavailable("Models are unavailable"));
    expectError([&] { encoder.encodeFeatures(*audio); }, WhisperError::modelsUnavailable("Models are unavailable"));

    mel.loadModel(urlOf(testsupport::writeMelSpectrogram(folder.path() / "MelSpectrogram.mlmodelc", dims)),
                  platform::MLComputeUnits::cpuOnly, false);
    encoder.loadModel(urlOf(testsupport::writeAudioEncoder(folder.path() / "AudioEncoder.mlmodelc", dims, 3)),
                      platform::MLComputeUnits::cpuOnly, false);
    EXPECT_EQ(mel.melCount(), 80);
    EXPECT_EQ(mel.windowSamples(), dims.samples);
    EXPECT_EQ(encoder.embedSize(), dims.width);
    EXPECT_EQ(encoder.sequenceLength(), dims.encoderFrames);
    auto samples = audio->array()->buffer<float>();
    for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = 0.1f * static_cast<float>(i % 37) / 37.0f;
    const auto features = mel.logMelSpectrogram(*audio);
    ASSERT_TRUE(multiArray(*features));
    EXPECT_EQ(multiArray(*features)->shape(), (std::vector<int64_t>{1, 80, 1, dims.frames}));
    const auto embeddings = encoder.encodeFeatures(*features);
    ASSERT_TRUE(multiArray(*embeddings));
    EXPECT_EQ(multiArray(*embeddings)->shape(), (std::vector<int64_t>{1, dims.width, 1, dims.encoderFrames}));
    EXPECT_EQ(multiArray(*embeddings)->dataType(), MLMultiArrayDataType::float16);

    // A model whose output goes by another name yields nothing to read.
    testsupport::ModelBundleWriter renamed;
    renamed.input("audio", testsupport::DataType::Float32, {dims.samples});
    renamed.op("relu", {{"x", "audio"}}, {{"features", testsupport::DataType::Float32, {dims.samples}}});
    renamed.output("features");
    mel.loadModel(urlOf(renamed.write(folder.path() / "Renamed.mlmodelc")), platform::MLComputeUnits::cpuOnly, false);
    EXPECT_FALSE(mel.melCount());
    expectError([&] { mel.logMelSpectrogram(*audio); }, WhisperError::transcriptionFailed("Mel output is nil"));
}

TEST(ModelFeatures, AnswerExactlyTheirOwnFeatureNames) {
    const auto array = [] { return std::make_shared<MLMultiArray>(std::vector<int64_t>{1}, MLMultiArrayDataType::float16); };
    const TextDecoderInput input(array(), array(), array(), array(), array(), array(), array());
    EXPECT_EQ(input.featureNames().size(), 7u);
    EXPECT_EQ(input.featureValue("key_cache")->multiArrayValue(), input.key_cache);
    EXPECT_FALSE(input.featureValue("Key_Cache"));
    EXPECT_EQ(MelSpectrogramInput(array()).featureNames(), std::set<std::string>{"audio"});
    EXPECT_FALSE(AudioEncoderInput(array()).featureValue("audio"));

    const TextDecoderOutput output(array(), array(), array(), array());
    EXPECT_EQ(output.featureNames(), (std::set<std::string>{"logits", "key_cache_updates", "value_cache_updates"}));
    EXPECT_FALSE(output.alignment_heads_weights());
    EXPECT_FALSE(output.alignment_heads_weightsShapedArray());
    EXPECT_TRUE(output.logitsShapedArray());
}

TEST(TextDecoderCache, CopiesEachStepIntoItsPositionThroughEachArraysOwnStrides) {
    const int64_t channels = 3, slots = 8;
    const auto cache = [&] { return std::make_shared<MLMultiArray>(std::vector<int64_t>{1, channels, 1, slots}, MLMultiArrayDataType::float16); };
    auto keys = cache(), values = cache();
    // The value update is laid out wider than the key update: reading it
    // with the key's strides would pick other channels' entries.
    MLMultiArray keySlice({1, channels, 1, 1}, MLMultiArrayDataType::float16);
    MLMultiArray valueSlice({1, channels, 1, 3}, MLMultiArrayDataType::float16);
    ASSERT_NE(keySlice.strides(), valueSlice.strides());
    for (int64_t c = 0; c < channels; ++c) {
        keySlice.buffer<platform::Float16>()[static_cast<std::size_t>(c)] = static_cast<platform::Float16>(10 + c);
        valueSlice.buffer<platform::Float16>()[static_cast<std::size_t>(c * 3)] = static_cast<platform::Float16>(-10 - c);
        valueSlice.buffer<platform::Float16>()[static_cast<std::size_t>(c * 3 + 1)] = static_cast<platform::Float16>(99);
    }
    TextDecoding::updateKVCache(*keys, keySlice, *values, valueSlice, 5);
    // A position past the cache is not written.
    TextDecoding::updateKVCache(*keys, keySlice, *values, valueSlice, slots);
    for (int64_t c = 0; c < channels; ++c) {
        for (int64_t p = 0; p < slots; ++p) {
            const auto at = static_cast<std::size_t>(c * slots + p);
            EXPECT_EQ(static_cast<float>(keys->buffer<platform::Float16>()[at]), p == 5 ? 10.0f + c : 0.0f) << c << " " << p;
            EXPECT_EQ(static_cast<float>(values->buffer<platform::Float16>()[at]), p == 5 ? -10.0f - c : 0.0f) << c << " " << p;
        }
    }

    MLMultiArray alignment({slots, 4}, MLMultiArrayDataType::float16);
    MLMultiArray step({1, 4}, MLMultiArrayDataType::float16);
    for (std::size_t f = 0; f < 4; ++f) step.buffer<platform::Float16>()[f] = static_cast<platform::Float16>(f + 1);
    TextDecoding::updateAlignmentWeights(alignment, step, 0);
    TextDecoding::updateAlignmentWeights(alignment, step, slots - 1);
    for (int64_t row = 0; row < slots; ++row) {
        EXPECT_EQ(static_cast<float>(alignment.buffer<platform::Float16>()[static_cast<std::size_t>(row * 4 + 3)]), row == 1 ? 4.0f : 0.0f);
    }
}

}  // namespace
}  // namespace sonoscribe
