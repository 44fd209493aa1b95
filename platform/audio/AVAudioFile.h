#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/audio/AVAudioFormat.h"
#include "platform/audio/AVAudioPCMBuffer.h"

namespace platform::audio {

// An audio file opened for reading (any container and codec FFmpeg knows),
// decoded to float planes at the file's own rate and channel count.
class AVAudioFile {
public:
    // Throws AudioFileError when the file cannot be opened or holds no audio.
    explicit AVAudioFile(const std::string& path);
    ~AVAudioFile();
    AVAudioFile(const AVAudioFile&) = delete;
    AVAudioFile& operator=(const AVAudioFile&) = delete;

    const std::string& path() const noexcept { return path_; }
    const AVAudioFormat& fileFormat() const noexcept { return format_; }
    const AVAudioFormat& processingFormat() const noexcept { return format_; }
    // Frames in the file, as its container declares or estimates them: a
    // header may claim far more than the file holds.
    int64_t length() const noexcept { return length_; }

    // The frame the next read starts at; it may be set anywhere from 0 on.
    int64_t framePosition() const noexcept { return framePosition_; }
    void setFramePosition(int64_t position);

    // Reads up to frameCount frames (at most the buffer's capacity) from the
    // read position into the buffer from its start, and moves on. Fewer
    // frames come back only at the end of the audio, which may come before
    // the declared length: codecs trim their padding, and a file cut short
    // gives the audio it still holds. Throws AudioFileError when the data
    // cannot be read or decoded.
    void read(AVAudioPCMBuffer& buffer, uint32_t frameCount);

private:
    struct Decoder;

    void open();
    bool decodeMore();

    std::string path_;
    std::unique_ptr<Decoder> decoder_;
    AVAudioFormat format_;
    int64_t length_ = 0;
    int64_t framePosition_ = 0;
};

}  // namespace platform::audio
