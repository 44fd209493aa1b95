#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "platform/coreml/MLMultiArray.h"
#include "speech/decoding/StageValues.h"
#include "speech/model/WhisperMLModel.h"

namespace sonoscribe {

// Turns log-mel features into the encoder's embeddings.
class AudioEncoding {
public:
    virtual ~AudioEncoding() = default;

    virtual std::optional<int64_t> embedSize() const = 0;
    virtual std::shared_ptr<AudioEncoderOutputType> encodeFeatures(const FeatureExtractorOutputType& features) = 0;
};

// Runs the compiled audio-encoder model.
class AudioEncoder : public AudioEncoding, public WhisperMLModel {
public:
    AudioEncoder() = default;

    std::optional<int64_t> embedSize() const override;
    std::optional<int64_t> sequenceLength() const;
    // Throws WhisperError (audioProcessingFailed) for features that are not a
    // multi-array, then as the multi-array form.
    std::shared_ptr<AudioEncoderOutputType> encodeFeatures(const FeatureExtractorOutputType& features) override;
    // Throws WhisperError (modelsUnavailable) with no model or a model without
    // the embeddings output, the cancellation error, or the prediction's error.
    std::shared_ptr<platform::MLMultiArray> encodeFeatures(const std::shared_ptr<platform::MLMultiArray>& features);
};

}  // namespace sonoscribe
