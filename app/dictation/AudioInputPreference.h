#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/dictation/DictaroAudioDevice.h"
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

    // The chosen source's number in this process, for matching against
    // availableInputDevices(); none for no choice.
    static std::optional<uint32_t> deviceID(const platform::UserDefaults& defaults);
    // Stores the source behind the number (none: the default input). Throws
    // std::out_of_range for a number this process never gave a source.
    static void setDeviceID(platform::UserDefaults& defaults, std::optional<uint32_t> deviceID);

    // The inputs with at least one channel, in the sound server's order, read
    // afresh on every call; empty when the server cannot be reached.
    static std::vector<DictaroAudioDevice> availableInputDevices();
};

}  // namespace dictaro
