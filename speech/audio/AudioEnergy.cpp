#include <algorithm>
#include <cmath>
#include <limits>

#include "speech/audio/AudioProcessor.h"
#include "speech/audio/EnergyVAD.h"

namespace sonoscribe {

namespace {

float rootMeanSquare(const float* samples, std::size_t count) {
    if (count == 0) return 0;
    double sum = 0;
    for (std::size_t i = 0; i < count; ++i) sum += static_cast<double>(samples[i]) * samples[i];
    return static_cast<float>(std::sqrt(sum / static_cast<double>(count)));
}

float relativeTo(float rms, float reference) {
    const float ref = std::max(reference, 1e-8f);
    float rel = (20 * std::log10(rms) - 20 * std::log10(ref)) / (0 - 20 * std::log10(ref));
    if (rel > 1) rel = 1;
    if (!(rel >= 0)) rel = 0;
    return rel;
}

}  // namespace

bool AudioProcessor::isVoiceDetected(const std::vector<float>& relativeEnergy, float nextBufferInSeconds,
                                     float silenceThreshold) {
    const float frames = nextBufferInSeconds / 0.1f;
    const auto n = static_cast<std::size_t>(std::isfinite(frames) && frames > 0
                                                ? std::min<double>(frames, static_cast<double>(relativeEnergy.size()))
                                                : 0);
    const auto slice = relativeEnergy.end() - static_cast<std::ptrdiff_t>(n);
    const std::size_t looked = std::min<std::size_t>(n, std::max<std::ptrdiff_t>(static_cast<std::ptrdiff_t>(n) - 10, 10));
    return std::any_of(slice, slice + static_cast<std::ptrdiff_t>(looked), [&](float e) { return e > silenceThreshold; });
}

float AudioProcessor::calculateAverageEnergy(const std::vector<float>& signal) {
    return rootMeanSquare(signal.data(), signal.size());
}

AudioEnergy AudioProcessor::calculateEnergy(const std::vector<float>& signal) {
    AudioEnergy energy;
    energy.avg = rootMeanSquare(signal.data(), signal.size());
    if (signal.empty()) return energy;
    energy.max = 0;
    energy.min = std::numeric_limits<float>::infinity();
    for (float sample : signal) {
        energy.max = std::max(energy.max, std::fabs(sample));
        energy.min = std::min(energy.min, std::fabs(sample));
    }
    return energy;
}

float AudioProcessor::relativeToFloor(float rms, float floor) { return relativeTo(rms, floor); }

float AudioProcessor::calculateRelativeEnergy(const std::vector<float>& signal, std::optional<float> relativeTo) {
    return sonoscribe::relativeTo(rootMeanSquare(signal.data(), signal.size()), relativeTo ? *relativeTo : 0.001f);
}

std::vector<bool> AudioProcessor::calculateVoiceActivityInChunks(const std::vector<float>& signal, int64_t chunkCount,
                                                                 int64_t frameLengthSamples,
                                                                 int64_t frameOverlapSamples, float energyThreshold) {
    std::vector<bool> flags(static_cast<std::size_t>(std::max<int64_t>(chunkCount, 0)), false);
    const auto count = static_cast<int64_t>(signal.size());
    for (std::size_t i = 0; i < flags.size(); ++i) {
        const int64_t start = static_cast<int64_t>(i) * frameLengthSamples;
        if (start < 0 || start >= count) continue;
        const int64_t end = std::clamp(start + frameLengthSamples + frameOverlapSamples, start, count);
        flags[i] = rootMeanSquare(signal.data() + start, static_cast<std::size_t>(end - start)) > energyThreshold;
    }
    return flags;
}

std::vector<IndexRange> AudioProcessor::calculateNonSilentChunks(const std::vector<float>& signal) {
    return EnergyVAD(16000, 0.1f, 0.0f, 0.02f).calculateActiveChunks(signal);
}

}  // namespace sonoscribe
