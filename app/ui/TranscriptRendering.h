#pragma once

#include <optional>
#include <string>

#include "app/dictation/PasteTarget.h"
#include "app/dictation/TranscriptDisplay.h"
#include "app/dictation/TutorialStep.h"
#include "app/ui/ThemePalette.h"

namespace dictaro {

// Everything the transcript view shows for one display value, worked out
// without the toolkit so that every state can be checked without a display.
struct TranscriptRendering {
    enum class Indicator { hidden, still, pulsing };
    enum class Scroll { end, top };

    std::string statusText;  // as written; the mono label upper-cases it
    Tint statusColour;
    Indicator indicator = Indicator::hidden;
    Tint indicatorTint{ThemeColour::ember, 1};
    bool spinner = false;
    bool waveformLive = false;
    bool controlsVisible = false;
    bool controlsPaused = false;
    std::optional<TutorialStep> callout;
    std::optional<std::string> badge;  // the badge's text when it shows
    std::string transcript;
    Tint transcriptColour;
    Scroll scroll = Scroll::end;

    friend bool operator==(const TranscriptRendering&, const TranscriptRendering&) = default;

    static TranscriptRendering of(const TranscriptDisplay& display);
};

// "code · " and then the field's hint, or the application's name without one.
std::string targetBadgeText(const PasteTarget& target);

// The callout text of each tutorial step.
std::string tutorialText(TutorialStep step);

}  // namespace dictaro
