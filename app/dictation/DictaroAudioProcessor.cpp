#include "app/dictation/DictaroAudioProcessor.h"

#include <algorithm>

#include "platform/audio/AudioDevices.h"

namespace dictaro {

void DictaroAudioProcessor::setPreferredSource(std::optional<std::string> sourceName) {
    std::lock_guard lock(mutex_);
    preferredSource_ = std::move(sourceName);
}

std::optional<uint32_t> DictaroAudioProcessor::chosenDevice(std::optional<uint32_t> requested) const {
    if (requested) return requested;
    std::optional<std::string> name;
    {
        std::lock_guard lock(mutex_);
        name = preferredSource_;
    }
    if (!name) return std::nullopt;
    const uint32_t id = platform::audio::deviceID(*name);
    const auto devices = getAudioDevices();
    const bool present = std::any_of(devices.begin(), devices.end(), [&](const auto& device) { return device.id == id; });
    return present ? std::optional<uint32_t>(id) : std::nullopt;
}

void DictaroAudioProcessor::startRecordingLive(std::optional<uint32_t> inputDeviceID, sonoscribe::AudioBufferCallback callback) {
    AudioProcessor::startRecordingLive(chosenDevice(inputDeviceID), std::move(callback));
}

void DictaroAudioProcessor::resumeRecordingLive(std::optional<uint32_t> inputDeviceID, sonoscribe::AudioBufferCallback callback) {
    AudioProcessor::resumeRecordingLive(chosenDevice(inputDeviceID), std::move(callback));
}

}  // namespace dictaro
