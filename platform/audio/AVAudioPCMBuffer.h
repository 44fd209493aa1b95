#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/audio/AVAudioFormat.h"

namespace platform::audio {

// Frames of float samples, one plane per channel, with a capacity fixed at
// creation and a length of valid frames at most that capacity.
class AVAudioPCMBuffer {
public:
    // Null when the capacity cannot be allocated.
    static std::shared_ptr<AVAudioPCMBuffer> create(const AVAudioFormat& format, uint32_t frameCapacity);

    const AVAudioFormat& format() const noexcept { return format_; }
    uint32_t frameCapacity() const noexcept { return frameCapacity_; }
    uint32_t frameLength() const noexcept { return frameLength_; }
    // Clamped to the capacity.
    void setFrameLength(uint32_t frameLength) noexcept;

    float* channelData(uint32_t channel) noexcept { return planes_[channel].data(); }
    const float* channelData(uint32_t channel) const noexcept { return planes_[channel].data(); }

    AVAudioPCMBuffer(const AVAudioFormat& format, uint32_t frameCapacity);

private:
    AVAudioFormat format_;
    uint32_t frameCapacity_;
    uint32_t frameLength_ = 0;
    std::vector<std::vector<float>> planes_;
};

}  // namespace platform::audio
