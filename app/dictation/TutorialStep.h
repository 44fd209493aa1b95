#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace dictaro {

// One step of the practice tutorial, in the order the tutorial shows them.
enum class TutorialStep { pause, restart, cancel };

inline std::string_view rawValue(TutorialStep step) {
    switch (step) {
        case TutorialStep::pause: return "pause";
        case TutorialStep::restart: return "restart";
        case TutorialStep::cancel: return "cancel";
    }
    return "pause";
}

// A raw value that names no step yields nothing.
inline std::optional<TutorialStep> tutorialStepFromRawValue(std::string_view raw) {
    if (raw == "pause") return TutorialStep::pause;
    if (raw == "restart") return TutorialStep::restart;
    if (raw == "cancel") return TutorialStep::cancel;
    return std::nullopt;
}

}  // namespace dictaro
