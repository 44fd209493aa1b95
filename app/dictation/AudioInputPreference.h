#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/settings/UserDefaults.h"

namespace dictaro {

// The microphone the user chose, kept by its sound-server source name (a
// number would change when the device is plugged in again). No choice means
// the system's default input.
class AudioInputPreference {
public:
    static constexpr std::string_view notificationName = "DictaroInputDeviceDidChange";
    static constexpr std::string_view key = "InputDeviceName";

    // An empty or non-text value reads as no choice; it is left in place.
    static std::optional<std::string> deviceName(const platform::UserDefaults& defaults);
    // Stores or clears the choice, then announces it, even when unchanged.
    static void setDeviceName(platform::UserDefaults& defaults, const std::optional<std::string>& name);
};

}  // namespace dictaro
