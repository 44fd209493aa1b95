#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

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
        std::size_t seed = 0;
        const auto combine = [&seed](std::size_t value) {
            seed ^= value + 0x9e3779b97f4a7c15ull + (seed << 6) + (seed >> 2);
        };
        combine(std::hash<uint32_t>()(device.id));
        combine(std::hash<std::string>()(device.name));
        combine(std::hash<int>()(device.inputChannels));
        return seed;
    }
};
