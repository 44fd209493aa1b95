#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace sonoscribe {

// An input device: its number for the life of the process and its name.
struct AudioDevice {
    uint32_t id = 0;
    std::string name;

    bool operator==(const AudioDevice&) const = default;
};

}  // namespace sonoscribe

template <>
struct std::hash<sonoscribe::AudioDevice> {
    std::size_t operator()(const sonoscribe::AudioDevice& device) const noexcept {
        const std::size_t id = std::hash<uint32_t>()(device.id);
        return id ^ (std::hash<std::string>()(device.name) + 0x9e3779b97f4a7c15ull + (id << 6) + (id >> 2));
    }
};
