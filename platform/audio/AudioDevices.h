#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform::audio {

// An input of the sound server (monitors of outputs are not inputs).
struct InputSource {
    // Stable for the life of the process; never 0.
    uint32_t id = 0;
    std::string pulseName;
    std::string description;
    uint32_t channelCount = 0;
    double sampleRate = 0;
};

// None when the sound server cannot be reached.
std::optional<std::vector<InputSource>> listInputSources();

// The number given to a source name, made on first sight.
uint32_t deviceID(const std::string& pulseName);
// The source name behind a number; none for a number never handed out.
std::optional<std::string> pulseName(uint32_t deviceID);

}  // namespace platform::audio
