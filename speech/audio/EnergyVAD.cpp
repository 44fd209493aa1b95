#include "speech/audio/EnergyVAD.h"

#include <cmath>
#include <limits>

#include "speech/audio/AudioProcessor.h"
#include "speech/model/WhisperError.h"

namespace sonoscribe {

namespace {

int64_t samplesIn(int64_t sampleRate, float seconds) {
    const double samples = std::trunc(static_cast<double>(static_cast<float>(sampleRate) * seconds));
    if (!std::isfinite(samples) || std::fabs(samples) >= 9.2e18) {
        throw WhisperError::audioProcessingFailed("Voice activity frame length does not fit a sample count");
    }
    return static_cast<int64_t>(samples);
}

}  // namespace

EnergyVAD::EnergyVAD(int64_t sampleRate, int64_t frameLengthSamples, int64_t frameOverlapSamples, float energyThreshold)
    : VoiceActivityDetector(sampleRate, frameLengthSamples, frameOverlapSamples), energyThreshold_(energyThreshold) {}

EnergyVAD::EnergyVAD(int64_t sampleRate, float frameLength, float frameOverlap, float energyThreshold)
    : EnergyVAD(sampleRate, samplesIn(sampleRate, frameLength), samplesIn(sampleRate, frameOverlap), energyThreshold) {}

std::vector<bool> EnergyVAD::voiceActivity(const std::vector<float>& waveform) const {
    const auto count = static_cast<int64_t>(waveform.size());
    const int64_t chunkCount = (count + frameLengthSamples() - 1) / frameLengthSamples();
    return AudioProcessor::calculateVoiceActivityInChunks(waveform, chunkCount, frameLengthSamples(),
                                                          frameOverlapSamples(), energyThreshold_);
}

}  // namespace sonoscribe
