#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/foundation/HashCombine.h"

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
        return platform::hashCombine(std::hash<uint32_t>()(device.id), std::hash<std::string>()(device.name));
    }
};
