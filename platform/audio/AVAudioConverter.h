#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/audio/AVAudioFormat.h"
#include "platform/audio/AVAudioPCMBuffer.h"

struct SwrContext;

namespace platform::audio {

// Converts a stream of buffers to another rate; output channel i comes from
// input channel i, so the output may have fewer channels, never more. The
// resampler keeps its history between calls, so buffers converted one after
// another join without a gap or a repeat; the stream's last few samples come
// out when the input reports its end.
class AVAudioConverter {
public:
    enum class InputStatus { haveData, noDataNow, endOfStream };
    enum class OutputStatus { haveData, inputRanDry, endOfStream, error };
    // Called for input until the output is full or it reports no data or the
    // end; with haveData it returns the buffer to consume in full.
    using InputBlock = std::function<const AVAudioPCMBuffer*(uint32_t packetCount, InputStatus& status)>;

    // Null when the pair of formats cannot be converted.
    static std::unique_ptr<AVAudioConverter> create(const AVAudioFormat& from, const AVAudioFormat& to);
    ~AVAudioConverter();

    const AVAudioFormat& inputFormat() const noexcept { return from_; }
    const AVAudioFormat& outputFormat() const noexcept { return to_; }

    // Fills output from its start and sets its frame length. On error, the
    // reason is written to *error when given.
    OutputStatus convert(AVAudioPCMBuffer& output, std::string* error, const InputBlock& input);

    // The most frames the next conversion can give for `inputFrames` more
    // input frames, with what the resampler still holds from earlier ones.
    uint32_t maximumOutputFrames(uint32_t inputFrames) const;

    // Forgets the history and the end of stream, for an unrelated stream.
    void reset();

    AVAudioConverter(const AVAudioFormat& from, const AVAudioFormat& to, SwrContext* context);

private:
    AVAudioFormat from_;
    AVAudioFormat to_;
    SwrContext* context_;
    bool ended_ = false;
    // Plane pointers of the call under way, kept so a conversion does not
    // allocate on the audio thread.
    std::vector<uint8_t*> outPlanes_;
    std::vector<const uint8_t*> inPlanes_;
};

}  // namespace platform::audio
