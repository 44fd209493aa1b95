#pragma once

#include <cstdint>
#include <vector>

#include "speech/audio/VoiceActivityDetector.h"

namespace sonoscribe {

// Voiced means a frame's root mean square is above the threshold.
class EnergyVAD : public VoiceActivityDetector {
public:
    EnergyVAD(int64_t sampleRate, int64_t frameLengthSamples, int64_t frameOverlapSamples, float energyThreshold);
    // Frame length and overlap in seconds, truncated to samples. Throws
    // WhisperError for products that are not finite or do not fit.
    EnergyVAD(int64_t sampleRate, float frameLength, float frameOverlap, float energyThreshold);

    float energyThreshold() const noexcept { return energyThreshold_; }

    std::vector<bool> voiceActivity(const std::vector<float>& waveform) const override;

private:
    float energyThreshold_;
};

}  // namespace sonoscribe
