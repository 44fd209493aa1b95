#include "app/ui/TranscriptRendering.h"

#include "app/dictation/HotkeyManager.h"
#include "app/formatting/ContextProfile.h"

namespace dictaro {

namespace {

using Indicator = TranscriptRendering::Indicator;
using Scroll = TranscriptRendering::Scroll;
using Kind = TranscriptDisplay::Kind;

const std::string hotkey(HotkeyManager::label);

constexpr Tint paper{ThemeColour::paper, 1};
constexpr Tint muted{ThemeColour::muted, 1};
constexpr Tint ember{ThemeColour::ember, 1};
constexpr Tint mint{ThemeColour::mint, 1};

TranscriptRendering quiet(std::string status, Tint statusColour, std::string transcript, Tint transcriptColour,
                          Scroll scroll) {
    TranscriptRendering rendering;
    rendering.statusText = std::move(status);
    rendering.statusColour = statusColour;
    rendering.transcript = std::move(transcript);
    rendering.transcriptColour = transcriptColour;
    rendering.scroll = scroll;
    return rendering;
}

// The live states show the text, or a muted placeholder while there is none.
void showLiveText(TranscriptRendering& rendering, const TranscriptDisplay& display, const char* placeholder) {
    rendering.transcript = display.text.empty() ? placeholder : display.text;
    rendering.transcriptColour = display.text.empty() ? muted : paper;
    if (display.target) rendering.badge = targetBadgeText(*display.target);
}

// Listening and paused: the meter runs and the controls show; the indicator
// pulses in the accent colour while listening and stands still in mint when paused.
TranscriptRendering recording(const TranscriptDisplay& display, std::string status, Tint statusColour, bool paused,
                              const char* placeholder) {
    TranscriptRendering rendering;
    rendering.statusText = std::move(status);
    rendering.statusColour = statusColour;
    rendering.indicator = paused ? Indicator::still : Indicator::pulsing;
    rendering.indicatorTint = paused ? mint : ember;
    rendering.waveformLive = true;
    rendering.controlsVisible = true;
    rendering.controlsPaused = paused;
    showLiveText(rendering, display, placeholder);
    return rendering;
}

std::string practiceIntroduction() {
    return "Great — you've learned the controls. Now try a real round.\n\nPress " + hotkey +
           " and try saying:\n\n“Hi there, this is my first dictation with Dictaro. It works really well.”\n\n"
           "As you speak you'll see the raw words appear, then a polished version once you stop. Nothing will be "
           "pasted — this is still practice.";
}

std::string practiceSuffix() {
    return "\n\n— That's exactly what would have landed in your focused app. Press " + hotkey +
           " now to dictate for real, or ESC to finish practice.";
}

}  // namespace

std::string targetBadgeText(const PasteTarget& target) {
    return std::string(rawValue(target.kind)) + " · " + target.fieldHint.value_or(target.appName);
}

std::string tutorialText(TutorialStep step) {
    switch (step) {
        case TutorialStep::pause:
            return "Welcome to Dictaro. Let's learn the three recording controls before we go.\n\n⏸  Pause "
                   "temporarily stops recording without losing your transcript.\n\nClick the pulsing ⏸ button up "
                   "top to continue.";
        case TutorialStep::restart:
            return "Two more.\n\n↻  Start over discards your current transcript and begins a fresh recording. "
                   "Handy when you trip over your words.\n\nClick the pulsing ↻ button to continue.";
        case TutorialStep::cancel:
            return "Last one.\n\n✕  Cancel discards everything and closes the panel. Same as pressing ESC during "
                   "a real recording.\n\nClick the pulsing ✕ button to finish the tutorial.";
    }
    return {};
}

TranscriptRendering TranscriptRendering::of(const TranscriptDisplay& display) {
    switch (display.kind) {
        case Kind::loading:
            return quiet("Loading model · please wait" +
                             (display.downloadPercent ? " · " + std::to_string(*display.downloadPercent) + "%" : ""),
                         muted, "This can take a few seconds the first time.", muted, Scroll::end);
        case Kind::ready:
            return quiet("Ready · " + hotkey + " to start", muted, "Press " + hotkey + " to start dictating.", muted,
                         Scroll::end);
        case Kind::practiceIntro: {
            auto rendering =
                quiet("Press " + hotkey + " to begin · ESC to skip", ember, practiceIntroduction(), paper, Scroll::top);
            rendering.controlsVisible = true;
            return rendering;
        }
        case Kind::listening:
            return recording(display, "Listening · Enter to stop · Space pause · ESC cancel",
                             {ThemeColour::paper, 0.75}, false, "Listening…");
        case Kind::paused:
            return recording(display, "Paused · Space to resume · ESC to cancel", mint, true,
                             "Paused — nothing dictated yet.");
        case Kind::formatting: {
            TranscriptRendering rendering;
            rendering.statusText = "Formatting";
            rendering.statusColour = ember;
            rendering.spinner = true;
            showLiveText(rendering, display, "Formatting…");
            return rendering;
        }
        case Kind::copied: return quiet("Copied to clipboard", mint, display.text, muted, Scroll::end);
        case Kind::error: return quiet("Error", ember, display.text, muted, Scroll::end);
        case Kind::tutorial: {
            auto rendering = quiet("Tutorial · click the highlighted button to continue", ember,
                                   tutorialText(display.step), paper, Scroll::top);
            rendering.controlsVisible = true;
            rendering.callout = display.step;
            return rendering;
        }
        case Kind::practiceResult:
            return quiet("✨ Practice complete · " + hotkey + " to dictate for real · ESC to finish", mint,
                         display.text + practiceSuffix(), paper, Scroll::top);
    }
    return {};
}

}  // namespace dictaro
