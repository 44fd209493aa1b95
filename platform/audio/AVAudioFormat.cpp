#include "platform/audio/AVAudioFormat.h"

#include <cmath>

namespace platform::audio {

namespace {
// Far above any real device or file; keeps frame arithmetic in range.
constexpr double maximumSampleRate = 1'536'000;
constexpr uint32_t maximumChannels = 64;
}  // namespace

std::optional<AVAudioFormat> AVAudioFormat::standardFormat(double sampleRate, uint32_t channelCount) {
    if (!std::isfinite(sampleRate) || sampleRate <= 0 || sampleRate > maximumSampleRate) return std::nullopt;
    if (channelCount == 0 || channelCount > maximumChannels) return std::nullopt;
    return AVAudioFormat{sampleRate, channelCount};
}

}  // namespace platform::audio
