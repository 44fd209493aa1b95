#include "app/dictation/AudioInputPreference.h"

#include "platform/settings/NotificationCenter.h"

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

}  // namespace dictaro
