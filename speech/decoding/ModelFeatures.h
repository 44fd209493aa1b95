#pragma once

#include <memory>
#include <optional>
#include <set>
#include <string>

#include "platform/coreml/MLFeatureProvider.h"
#include "platform/coreml/MLMultiArray.h"
#include "platform/coreml/MLShapedArray.h"
#include "platform/foundation/Float16.h"

// The named tensors the three models exchange with the engine. The feature
// names are the contract with the compiled model files.
namespace sonoscribe {

class MelSpectrogramInput final : public platform::MLFeatureProvider {
public:
    explicit MelSpectrogramInput(std::shared_ptr<platform::MLMultiArray> audio) : audio(std::move(audio)) {}
    explicit MelSpectrogramInput(const platform::MLShapedArray<float>& audio);

    std::shared_ptr<platform::MLMultiArray> audio;

    std::set<std::string> featureNames() const override;
    std::optional<platform::MLFeatureValue> featureValue(const std::string& featureName) const override;
};

class AudioEncoderInput final : public platform::MLFeatureProvider {
public:
    explicit AudioEncoderInput(std::shared_ptr<platform::MLMultiArray> melspectrogram_features)
        : melspectrogram_features(std::move(melspectrogram_features)) {}
    explicit AudioEncoderInput(const platform::MLShapedArray<float>& melspectrogram_features);

    std::shared_ptr<platform::MLMultiArray> melspectrogram_features;

    std::set<std::string> featureNames() const override;
    std::optional<platform::MLFeatureValue> featureValue(const std::string& featureName) const override;
};

class TextDecoderInput final : public platform::MLFeatureProvider {
public:
    TextDecoderInput(std::shared_ptr<platform::MLMultiArray> input_ids, std::shared_ptr<platform::MLMultiArray> cache_length,
                     std::shared_ptr<platform::MLMultiArray> key_cache, std::shared_ptr<platform::MLMultiArray> value_cache,
                     std::shared_ptr<platform::MLMultiArray> kv_cache_update_mask,
                     std::shared_ptr<platform::MLMultiArray> encoder_output_embeds,
                     std::shared_ptr<platform::MLMultiArray> decoder_key_padding_mask);
    TextDecoderInput(const platform::MLShapedArray<int32_t>& input_ids, const platform::MLShapedArray<int32_t>& cache_length,
                     const platform::MLShapedArray<float>& key_cache, const platform::MLShapedArray<float>& value_cache,
                     const platform::MLShapedArray<float>& kv_cache_update_mask,
                     const platform::MLShapedArray<float>& encoder_output_embeds,
                     const platform::MLShapedArray<float>& decoder_key_padding_mask);

    std::shared_ptr<platform::MLMultiArray> input_ids;
    std::shared_ptr<platform::MLMultiArray> cache_length;
    std::shared_ptr<platform::MLMultiArray> key_cache;
    std::shared_ptr<platform::MLMultiArray> value_cache;
    std::shared_ptr<platform::MLMultiArray> kv_cache_update_mask;
    std::shared_ptr<platform::MLMultiArray> encoder_output_embeds;
    std::shared_ptr<platform::MLMultiArray> decoder_key_padding_mask;

    std::set<std::string> featureNames() const override;
    std::optional<platform::MLFeatureValue> featureValue(const std::string& featureName) const override;
};

// A prediction's result seen through its model's output names. A required
// output that the result lacks is read as null, never as present.
class ModelOutput : public platform::MLFeatureProvider {
public:
    explicit ModelOutput(std::shared_ptr<const platform::MLFeatureProvider> features) : provider(std::move(features)) {}

    const std::shared_ptr<const platform::MLFeatureProvider> provider;

    std::set<std::string> featureNames() const override { return provider->featureNames(); }
    std::optional<platform::MLFeatureValue> featureValue(const std::string& featureName) const override {
        return provider->featureValue(featureName);
    }

protected:
    std::shared_ptr<platform::MLMultiArray> multiArrayNamed(const std::string& name) const;
    std::optional<platform::MLShapedArray<platform::Float16>> shapedArrayNamed(const std::string& name) const;
};

class MelSpectrogramOutput final : public ModelOutput {
public:
    using ModelOutput::ModelOutput;
    explicit MelSpectrogramOutput(std::shared_ptr<platform::MLMultiArray> melspectrogram_features);

    std::shared_ptr<platform::MLMultiArray> melspectrogram_features() const;
    std::optional<platform::MLShapedArray<platform::Float16>> melspectrogram_featuresShapedArray() const;
};

class AudioEncoderOutput final : public ModelOutput {
public:
    using ModelOutput::ModelOutput;
    explicit AudioEncoderOutput(std::shared_ptr<platform::MLMultiArray> encoder_output_embeds);

    std::shared_ptr<platform::MLMultiArray> encoder_output_embeds() const;
    std::optional<platform::MLShapedArray<platform::Float16>> encoder_output_embedsShapedArray() const;
};

class TextDecoderOutput final : public ModelOutput {
public:
    using ModelOutput::ModelOutput;
    // The fourth array (each position's best token) is not kept.
    TextDecoderOutput(std::shared_ptr<platform::MLMultiArray> logits, std::shared_ptr<platform::MLMultiArray> key_cache_updates,
                      std::shared_ptr<platform::MLMultiArray> value_cache_updates,
                      const std::shared_ptr<platform::MLMultiArray>& bestTokens);

    std::shared_ptr<platform::MLMultiArray> logits() const;
    std::shared_ptr<platform::MLMultiArray> key_cache_updates() const;
    std::shared_ptr<platform::MLMultiArray> value_cache_updates() const;
    std::shared_ptr<platform::MLMultiArray> alignment_heads_weights() const;
    std::optional<platform::MLShapedArray<platform::Float16>> logitsShapedArray() const;
    std::optional<platform::MLShapedArray<platform::Float16>> key_cache_updatesShapedArray() const;
    std::optional<platform::MLShapedArray<platform::Float16>> value_cache_updatesShapedArray() const;
    std::optional<platform::MLShapedArray<platform::Float16>> alignment_heads_weightsShapedArray() const;
};

}  // namespace sonoscribe
