#include "platform/audio/AVAudioPCMBuffer.h"

#include <algorithm>
#include <new>

namespace platform::audio {

namespace {
// One hour of 8 channels at 192 kHz: anything larger is a bad request.
constexpr uint64_t maximumSamples = 192'000ull * 3600 * 8;
}  // namespace

std::shared_ptr<AVAudioPCMBuffer> AVAudioPCMBuffer::create(const AVAudioFormat& format, uint32_t frameCapacity) {
    if (format.channelCount == 0 || uint64_t{frameCapacity} * format.channelCount > maximumSamples) return nullptr;
    try {
        return std::make_shared<AVAudioPCMBuffer>(format, frameCapacity);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

AVAudioPCMBuffer::AVAudioPCMBuffer(const AVAudioFormat& format, uint32_t frameCapacity)
    : format_(format), frameCapacity_(frameCapacity), planes_(format.channelCount, std::vector<float>(frameCapacity)) {}

void AVAudioPCMBuffer::setFrameLength(uint32_t frameLength) noexcept {
    frameLength_ = std::min(frameLength, frameCapacity_);
}

}  // namespace platform::audio
