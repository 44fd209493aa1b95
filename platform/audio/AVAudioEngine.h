#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "platform/audio/AVAudioFormat.h"
#include "platform/audio/AVAudioPCMBuffer.h"

namespace platform::audio {

// Capture could not start; what() says why.
class AudioEngineError : public std::runtime_error {
public:
    explicit AudioEngineError(const std::string& message) : std::runtime_error(message) {}
};

struct CaptureState;

// The microphone side of the engine: records one sound-server source at
// its own rate and channel count and hands the tap fixed-size buffers on a
// thread of its own.
class AVAudioInputNode {
public:
    // Called on the tap thread with every full buffer of the tap's size.
    using TapBlock = std::function<void(AVAudioPCMBuffer& buffer)>;

    // 0 on success; non-zero when the number names no known source.
    int setCurrentDevice(uint32_t deviceID);
    // The source's own format; a rate of 0 when the server cannot say.
    AVAudioFormat inputFormat(int bus) const;
    AVAudioFormat outputFormat(int bus) const { return inputFormat(bus); }
    void installTap(int bus, uint32_t bufferSize, const AVAudioFormat& format, TapBlock block);
    void removeTap(int bus);
    // Whether a tap receives what the node records.
    bool hasTap(int bus) const;

private:
    friend class AVAudioEngine;
    explicit AVAudioInputNode(std::shared_ptr<CaptureState> state) : state_(std::move(state)) {}
    std::shared_ptr<CaptureState> state_;
};

class AVAudioEngine {
public:
    AVAudioEngine();
    ~AVAudioEngine();
    AVAudioEngine(const AVAudioEngine&) = delete;
    AVAudioEngine& operator=(const AVAudioEngine&) = delete;

    AVAudioInputNode& inputNode() noexcept { return inputNode_; }
    void prepare() {}
    // Starts or resumes recording. Throws AudioEngineError.
    void start();
    // Stops the flow (the source keeps going and what it hears meanwhile is
    // not recorded); buffered frames stay for the resume.
    void pause();
    // Ends recording; may be called from the tap thread.
    void stop();
    void reset() {}
    bool isRunning() const;

private:
    std::shared_ptr<CaptureState> state_;
    AVAudioInputNode inputNode_;
};

}  // namespace platform::audio
