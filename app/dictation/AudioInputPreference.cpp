#include "app/dictation/AudioInputPreference.h"

#include <algorithm>
#include <stdexcept>

#include "platform/audio/AudioDevices.h"
#include "platform/settings/NotificationCenter.h"
#include "speech/audio/AudioProcessor.h"

namespace dictaro {

std::optional<std::string> AudioInputPreference::deviceName(const platform::UserDefaults& defaults) {
    auto name = defaults.string(key);
    if (!name || name->empty()) return std::nullopt;
    return name;
}

void AudioInputPreference::setDeviceName(platform::UserDefaults& defaults, const std::optional<std::string>& name) {
    if (name) {
        defaults.set(key, *name);
    } else {
        defaults.removeObject(key);
    }
    platform::NotificationCenter::defaultCenter().post(notificationName);
}

std::optional<uint32_t> AudioInputPreference::deviceID(const platform::UserDefaults& defaults) {
    const std::optional<std::string> name = deviceName(defaults);
    if (!name) return std::nullopt;
    return platform::audio::deviceID(*name);
}

void AudioInputPreference::setDeviceID(platform::UserDefaults& defaults, std::optional<uint32_t> deviceID) {
    if (!deviceID) return setDeviceName(defaults, std::nullopt);
    std::optional<std::string> name = platform::audio::pulseName(*deviceID);
    if (!name) throw std::out_of_range("no input source has the number " + std::to_string(*deviceID));
    setDeviceName(defaults, name);
}

std::vector<DictaroAudioDevice> AudioInputPreference::availableInputDevices() {
    const std::vector<sonoscribe::AudioDevice> engineDevices = sonoscribe::AudioProcessor::getAudioDevices();
    const std::vector<platform::audio::InputSource> sources =
        platform::audio::listInputSources().value_or(std::vector<platform::audio::InputSource>{});
    std::vector<DictaroAudioDevice> devices;
    for (const sonoscribe::AudioDevice& device : engineDevices) {
        const auto source = std::find_if(sources.begin(), sources.end(),
                                         [&](const auto& candidate) { return candidate.id == device.id; });
        // A source gone between the two readings has no channels left.
        const int channels = source == sources.end() ? 0 : static_cast<int>(source->channelCount);
        if (channels > 0) devices.push_back({device.id, device.name, channels});
    }
    return devices;
}

}  // namespace dictaro
