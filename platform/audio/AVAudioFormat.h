#pragma once

#include <cstdint>
#include <optional>

namespace platform::audio {

// A PCM format: every buffer of this layer holds 32-bit float samples, one
// plane per channel, so a format is its rate and channel count.
struct AVAudioFormat {
    double sampleRate = 0;
    uint32_t channelCount = 0;

    // None for a rate that is not a positive finite number or for no channels.
    static std::optional<AVAudioFormat> standardFormat(double sampleRate, uint32_t channelCount);

    bool operator==(const AVAudioFormat&) const = default;
};

}  // namespace platform::audio
