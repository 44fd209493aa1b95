#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "speech/audio/AudioProcessor.h"

namespace dictaro {

// The engine's audio processor, recording from the microphone the user chose
// by its source name. The system's default input is never changed: a chosen
// source that is gone falls back to the default for this capture only.
class DictaroAudioProcessor : public sonoscribe::AudioProcessor {
public:
    // Takes effect at the next capture start.
    void setPreferredSource(std::optional<std::string> sourceName);

    void startRecordingLive(std::optional<uint32_t> inputDeviceID = std::nullopt,
                            sonoscribe::AudioBufferCallback callback = nullptr) override;
    void resumeRecordingLive(std::optional<uint32_t> inputDeviceID = std::nullopt,
                             sonoscribe::AudioBufferCallback callback = nullptr) override;

private:
    std::optional<uint32_t> chosenDevice(std::optional<uint32_t> requested) const;

    mutable std::mutex mutex_;
    std::optional<std::string> preferredSource_;
};

}  // namespace dictaro
