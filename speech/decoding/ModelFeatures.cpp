#include "speech/decoding/ModelFeatures.h"

#include <array>
#include <map>
#include <span>
#include <utility>

#include "platform/coreml/MLDictionaryFeatureProvider.h"

namespace sonoscribe {
namespace {

using platform::MLFeatureValue;
using platform::MLMultiArray;

using Field = std::pair<const char*, const std::shared_ptr<MLMultiArray>*>;
using NamedArrays = std::span<const Field>;

std::optional<MLFeatureValue> valueNamed(const std::string& featureName, NamedArrays fields) {
    for (const auto& [name, field] : fields) {
        if (featureName == name) return MLFeatureValue(*field);
    }
    return std::nullopt;
}

std::set<std::string> namesOf(NamedArrays fields) {
    std::set<std::string> names;
    for (const auto& field : fields) names.insert(field.first);
    return names;
}

template <class Scalar>
std::shared_ptr<MLMultiArray> arrayOf(const platform::MLShapedArray<Scalar>& shapedArray) {
    return std::make_shared<MLMultiArray>(shapedArray);
}

std::shared_ptr<platform::MLFeatureProvider> providerOf(
    std::initializer_list<std::pair<const char*, std::shared_ptr<MLMultiArray>>> features) {
    std::map<std::string, MLFeatureValue> dictionary;
    for (const auto& [name, array] : features) dictionary.emplace(name, MLFeatureValue(array));
    return std::make_shared<platform::MLDictionaryFeatureProvider>(std::move(dictionary));
}

}  // namespace

MelSpectrogramInput::MelSpectrogramInput(const platform::MLShapedArray<float>& audio) : audio(arrayOf(audio)) {}

std::set<std::string> MelSpectrogramInput::featureNames() const { return namesOf(std::array{Field{"audio", &audio}}); }

std::optional<MLFeatureValue> MelSpectrogramInput::featureValue(const std::string& featureName) const {
    return valueNamed(featureName, std::array{Field{"audio", &audio}});
}

AudioEncoderInput::AudioEncoderInput(const platform::MLShapedArray<float>& melspectrogram_features)
    : melspectrogram_features(arrayOf(melspectrogram_features)) {}

std::set<std::string> AudioEncoderInput::featureNames() const {
    return namesOf(std::array{Field{"melspectrogram_features", &melspectrogram_features}});
}

std::optional<MLFeatureValue> AudioEncoderInput::featureValue(const std::string& featureName) const {
    return valueNamed(featureName, std::array{Field{"melspectrogram_features", &melspectrogram_features}});
}

TextDecoderInput::TextDecoderInput(std::shared_ptr<MLMultiArray> input_ids, std::shared_ptr<MLMultiArray> cache_length,
                                   std::shared_ptr<MLMultiArray> key_cache, std::shared_ptr<MLMultiArray> value_cache,
                                   std::shared_ptr<MLMultiArray> kv_cache_update_mask,
                                   std::shared_ptr<MLMultiArray> encoder_output_embeds,
                                   std::shared_ptr<MLMultiArray> decoder_key_padding_mask)
    : input_ids(std::move(input_ids)),
      cache_length(std::move(cache_length)),
      key_cache(std::move(key_cache)),
      value_cache(std::move(value_cache)),
      kv_cache_update_mask(std::move(kv_cache_update_mask)),
      encoder_output_embeds(std::move(encoder_output_embeds)),
      decoder_key_padding_mask(std::move(decoder_key_padding_mask)) {}

TextDecoderInput::TextDecoderInput(const platform::MLShapedArray<int32_t>& input_ids,
                                   const platform::MLShapedArray<int32_t>& cache_length,
                                   const platform::MLShapedArray<float>& key_cache,
                                   const platform::MLShapedArray<float>& value_cache,
                                   const platform::MLShapedArray<float>& kv_cache_update_mask,
                                   const platform::MLShapedArray<float>& encoder_output_embeds,
                                   const platform::MLShapedArray<float>& decoder_key_padding_mask)
    : TextDecoderInput(arrayOf(input_ids), arrayOf(cache_length), arrayOf(key_cache), arrayOf(value_cache),
                       arrayOf(kv_cache_update_mask), arrayOf(encoder_output_embeds), arrayOf(decoder_key_padding_mask)) {}

namespace {

std::array<Field, 7> fieldsOf(const TextDecoderInput& input) {
    return {Field{"input_ids", &input.input_ids},
            Field{"cache_length", &input.cache_length},
            Field{"key_cache", &input.key_cache},
            Field{"value_cache", &input.value_cache},
            Field{"kv_cache_update_mask", &input.kv_cache_update_mask},
            Field{"encoder_output_embeds", &input.encoder_output_embeds},
            Field{"decoder_key_padding_mask", &input.decoder_key_padding_mask}};
}

}  // namespace

std::set<std::string> TextDecoderInput::featureNames() const { return namesOf(fieldsOf(*this)); }

std::optional<MLFeatureValue> TextDecoderInput::featureValue(const std::string& featureName) const {
    return valueNamed(featureName, fieldsOf(*this));
}

std::shared_ptr<MLMultiArray> ModelOutput::multiArrayNamed(const std::string& name) const {
    const auto value = provider->featureValue(name);
    return value ? value->multiArrayValue() : nullptr;
}

std::optional<platform::MLShapedArray<platform::Float16>> ModelOutput::shapedArrayNamed(const std::string& name) const {
    const auto array = multiArrayNamed(name);
    if (!array || array->dataType() != platform::MLMultiArrayDataType::float16) return std::nullopt;
    return platform::MLShapedArray<platform::Float16>(*array);
}

MelSpectrogramOutput::MelSpectrogramOutput(std::shared_ptr<MLMultiArray> melspectrogram_features)
    : ModelOutput(providerOf({{"melspectrogram_features", std::move(melspectrogram_features)}})) {}

std::shared_ptr<MLMultiArray> MelSpectrogramOutput::melspectrogram_features() const {
    return multiArrayNamed("melspectrogram_features");
}

std::optional<platform::MLShapedArray<platform::Float16>> MelSpectrogramOutput::melspectrogram_featuresShapedArray() const {
    return shapedArrayNamed("melspectrogram_features");
}

AudioEncoderOutput::AudioEncoderOutput(std::shared_ptr<MLMultiArray> encoder_output_embeds)
    : ModelOutput(providerOf({{"encoder_output_embeds", std::move(encoder_output_embeds)}})) {}

std::shared_ptr<MLMultiArray> AudioEncoderOutput::encoder_output_embeds() const {
    return multiArrayNamed("encoder_output_embeds");
}

std::optional<platform::MLShapedArray<platform::Float16>> AudioEncoderOutput::encoder_output_embedsShapedArray() const {
    return shapedArrayNamed("encoder_output_embeds");
}

TextDecoderOutput::TextDecoderOutput(std::shared_ptr<MLMultiArray> logits, std::shared_ptr<MLMultiArray> key_cache_updates,
                                     std::shared_ptr<MLMultiArray> value_cache_updates,
                                     const std::shared_ptr<MLMultiArray>& /*bestTokens*/)
    : ModelOutput(providerOf({{"logits", std::move(logits)},
                              {"key_cache_updates", std::move(key_cache_updates)},
                              {"value_cache_updates", std::move(value_cache_updates)}})) {}

std::shared_ptr<MLMultiArray> TextDecoderOutput::logits() const { return multiArrayNamed("logits"); }
std::shared_ptr<MLMultiArray> TextDecoderOutput::key_cache_updates() const { return multiArrayNamed("key_cache_updates"); }
std::shared_ptr<MLMultiArray> TextDecoderOutput::value_cache_updates() const {
    return multiArrayNamed("value_cache_updates");
}
std::shared_ptr<MLMultiArray> TextDecoderOutput::alignment_heads_weights() const {
    return multiArrayNamed("alignment_heads_weights");
}
std::optional<platform::MLShapedArray<platform::Float16>> TextDecoderOutput::logitsShapedArray() const {
    return shapedArrayNamed("logits");
}
std::optional<platform::MLShapedArray<platform::Float16>> TextDecoderOutput::key_cache_updatesShapedArray() const {
    return shapedArrayNamed("key_cache_updates");
}
std::optional<platform::MLShapedArray<platform::Float16>> TextDecoderOutput::value_cache_updatesShapedArray() const {
    return shapedArrayNamed("value_cache_updates");
}
std::optional<platform::MLShapedArray<platform::Float16>> TextDecoderOutput::alignment_heads_weightsShapedArray() const {
    return shapedArrayNamed("alignment_heads_weights");
}

}  // namespace sonoscribe
