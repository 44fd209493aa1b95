#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "speech/model/TranscriptionTimings.h"

namespace sonoscribe {

// What the decoding loop reports after each token of a window.
struct TranscriptionProgress {
    TranscriptionTimings timings;
    // The text decoded so far in the current window, and its tokens.
    std::string text;
    std::vector<int64_t> tokens;
    std::optional<float> temperature;
    std::optional<float> avgLogprob;
    std::optional<float> compressionRatio;
    int64_t windowId = 0;
};

// Handed each progress report; false asks the loop to stop the current window
// early, nullopt or true let it go on.
using TranscriptionCallback = std::function<std::optional<bool>(const TranscriptionProgress&)>;

// The coarse phase announced to the engine's state callback.
enum class TranscriptionState { convertingAudio, transcribing, finished };

inline std::string_view description(TranscriptionState state) {
    switch (state) {
    case TranscriptionState::convertingAudio: return "Converting Audio";
    case TranscriptionState::transcribing: return "Transcribing";
    case TranscriptionState::finished: return "Finished";
    }
    return "";
}

}  // namespace sonoscribe
