#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "speech/audio/AudioProcessor.h"

namespace dictaro {

// The engine's audio processor, recording live on a capture engine of its own
// from the microphone the user chose by its source name. Each buffer is
// folded to mono from its first two channels (multi-channel interfaces put
// the microphones there), resampled to 16 kHz and handed to the engine's
// processor part, which keeps samples and energies. The system's default
// input is never changed: a chosen source that is gone falls back to the
// default for this capture only. Must be owned by a shared_ptr: the capture
// holds it weakly.
class DictaroAudioProcessor : public sonoscribe::AudioProcessor {
public:
    static constexpr uint32_t tapBufferFrames = 4096;

    ~DictaroAudioProcessor() override;

    // Takes effect at the next capture start.
    void setPreferredSource(std::optional<std::string> sourceName);

    void startRecordingLive(std::optional<uint32_t> inputDeviceID = std::nullopt,
                            sonoscribe::AudioBufferCallback callback = nullptr) override;
    void pauseRecording() override;
    void stopRecording() override;
    void resumeRecordingLive(std::optional<uint32_t> inputDeviceID = std::nullopt,
                             sonoscribe::AudioBufferCallback callback = nullptr) override;

    // What the capture does with every tapped buffer of the given hardware
    // format, holding this processor weakly. Everything a buffer needs is
    // made here, once per capture, so the audio thread does not allocate.
    // Throws WhisperError when the format cannot be resampled.
    platform::audio::AVAudioInputNode::TapBlock makeCaptureTap(const platform::audio::AVAudioFormat& hardware);

private:
    struct CaptureScratch;

    // The device to record from and how the start line names it.
    struct Choice {
        std::optional<uint32_t> device;
        std::string label;
    };

    Choice choose(std::optional<uint32_t> requested) const;
    // These three need `captureMutex_` held.
    void startCapture(std::optional<uint32_t> inputDeviceID, sonoscribe::AudioBufferCallback callback);
    void tearDownInternalCapture();
    void buildAndStartEngine(std::optional<uint32_t> device, sonoscribe::AudioBufferCallback callback);
    void handleInternalBuffer(const AVAudioPCMBuffer& buffer, CaptureScratch& scratch);

    mutable std::mutex mutex_;
    std::optional<std::string> preferredSource_;
    // Start, stop, pause and resume come from the transcriber's thread and
    // from the service's, and take this for their whole run: a stop that
    // arrives while a start is still setting the stream up waits for it and
    // then ends the capture it made, instead of finding none and leaving the
    // recording open.
    std::mutex captureMutex_;
    std::shared_ptr<AVAudioEngine> internalEngine_;
};

}  // namespace dictaro
