#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/foundation/HashCombine.h"

namespace dictaro {

// One input of the sound server as the microphone chooser lists it. The
// number lasts for this process only; the source name behind it is what the
// preference keeps.
struct DictaroAudioDevice {
    uint32_t id = 0;
    std::string name;
    int inputChannels = 0;

    bool operator==(const DictaroAudioDevice&) const = default;
};

}  // namespace dictaro

template <>
struct std::hash<dictaro::DictaroAudioDevice> {
    std::size_t operator()(const dictaro::DictaroAudioDevice& device) const noexcept {
        std::size_t seed = platform::hashCombine(0, std::hash<uint32_t>()(device.id));
        seed = platform::hashCombine(seed, std::hash<std::string>()(device.name));
        return platform::hashCombine(seed, std::hash<int>()(device.inputChannels));
    }
};
