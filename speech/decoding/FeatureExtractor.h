#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "speech/decoding/StageValues.h"
#include "speech/model/WhisperMLModel.h"

namespace sonoscribe {

// Turns one window of 16 kHz samples into log-mel features.
class FeatureExtracting {
public:
    virtual ~FeatureExtracting() = default;

    virtual std::optional<int64_t> melCount() const = 0;
    virtual std::optional<int64_t> windowSamples() const = 0;
    virtual std::shared_ptr<FeatureExtractorOutputType> logMelSpectrogram(const AudioProcessorOutputType& fromAudio) = 0;
};

// Runs the compiled mel-spectrogram model.
class FeatureExtractor : public FeatureExtracting, public WhisperMLModel {
public:
    FeatureExtractor() = default;

    std::optional<int64_t> melCount() const override;
    std::optional<int64_t> windowSamples() const override;
    // Throws WhisperError (audioProcessingFailed) for audio that is not a
    // multi-array, (modelsUnavailable) with no model or a model without the
    // features output, the cancellation error, or the prediction's error.
    std::shared_ptr<FeatureExtractorOutputType> logMelSpectrogram(const AudioProcessorOutputType& fromAudio) override;
};

}  // namespace sonoscribe
