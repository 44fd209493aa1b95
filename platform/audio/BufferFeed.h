#pragma once

#include <cstdint>
#include <utility>

#include "platform/audio/AVAudioConverter.h"
#include "platform/audio/AVAudioPCMBuffer.h"

namespace platform::audio {

// A converter's input block that hands over one buffer, once, then reports
// no data for now or, for the last buffer of a stream, its end. Converting
// buffer after buffer with it keeps the resampler's history between them.
class BufferFeed {
public:
    BufferFeed(const AVAudioPCMBuffer* buffer, bool last) : buffer_(buffer), last_(last) {}

    const AVAudioPCMBuffer* operator()(uint32_t, AVAudioConverter::InputStatus& status) {
        if (buffer_ != nullptr) {
            status = AVAudioConverter::InputStatus::haveData;
            return std::exchange(buffer_, nullptr);
        }
        status = last_ ? AVAudioConverter::InputStatus::endOfStream : AVAudioConverter::InputStatus::noDataNow;
        return nullptr;
    }

private:
    const AVAudioPCMBuffer* buffer_;
    bool last_;
};

}  // namespace platform::audio
