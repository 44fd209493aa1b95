#include "app/ui/TranscriptRendering.h"

#include <gtest/gtest.h>

#include <string>

namespace dictaro {
namespace {

using Indicator = TranscriptRendering::Indicator;
using Scroll = TranscriptRendering::Scroll;

constexpr Tint paper{ThemeColour::paper, 1};
constexpr Tint muted{ThemeColour::muted, 1};
constexpr Tint ember{ThemeColour::ember, 1};
constexpr Tint mint{ThemeColour::mint, 1};

const PasteTarget editor{"Kate", ContextProfile::Kind::code, std::nullopt};
const PasteTarget mail{"Thunderbird", ContextProfile::Kind::email, std::string("Subject")};

const std::string suffix =
    "\n\n— That's exactly what would have landed in your focused app. Press Super+Alt+M now to dictate for "
    "real, or ESC to finish practice.";

TEST(TranscriptRenderingTest, SetsEveryControlForEachState) {
    struct Case {
        const char* name;
        TranscriptDisplay display;
        TranscriptRendering expected;
    };
    auto r = [](std::string status, Tint statusColour, std::string transcript, Tint colour, Scroll scroll) {
        TranscriptRendering rendering;
        rendering.statusText = std::move(status);
        rendering.statusColour = statusColour;
        rendering.transcript = std::move(transcript);
        rendering.transcriptColour = colour;
        rendering.scroll = scroll;
        return rendering;
    };
    auto withControls = [](TranscriptRendering rendering, bool paused = false) {
        rendering.controlsVisible = true;
        rendering.controlsPaused = paused;
        return rendering;
    };
    auto live = [&](TranscriptRendering rendering, Indicator indicator, Tint tint, bool paused,
                    std::optional<std::string> badge) {
        rendering = withControls(std::move(rendering), paused);
        rendering.indicator = indicator;
        rendering.indicatorTint = tint;
        rendering.waveformLive = true;
        rendering.badge = std::move(badge);
        return rendering;
    };
    TranscriptRendering formattingEmpty = r("Formatting", ember, "Formatting…", muted, Scroll::end);
    formattingEmpty.spinner = true;
    formattingEmpty.badge = "email · Subject";
    TranscriptRendering tutorialRestart =
        withControls(r("Tutorial · click the highlighted button to continue", ember,
                       "Two more.\n\n↻  Start over discards your current transcript and begins a fresh recording. "
                       "Handy when you trip over your words.\n\nClick the pulsing ↻ button to continue.",
                       paper, Scroll::top));
    tutorialRestart.callout = TutorialStep::restart;
    const std::string listeningStatus = "Listening · Enter to stop · Space pause · ESC cancel";
    const std::string pausedStatus = "Paused · Space to resume · ESC to cancel";
    const Case cases[] = {
        {"loading", TranscriptDisplay::loading(),
         r("Loading model · please wait", muted, "This can take a few seconds the first time.", muted, Scroll::end)},
        {"loading while the model downloads", TranscriptDisplay::loading(42),
         r("Loading model · please wait · 42%", muted, "This can take a few seconds the first time.", muted,
           Scroll::end)},
        {"ready", TranscriptDisplay::ready(),
         r("Ready · Super+Alt+M to start", muted, "Press Super+Alt+M to start dictating.", muted, Scroll::end)},
        {"practice intro shows the controls", TranscriptDisplay::practiceIntro(),
         withControls(r("Press Super+Alt+M to begin · ESC to skip", ember,
                        "Great — you've learned the controls. Now try a real round.\n\nPress Super+Alt+M and try "
                        "saying:\n\n“Hi there, this is my first dictation with Dictaro. It works really well.”\n\n"
                        "As you speak you'll see the raw words appear, then a polished version once you stop. "
                        "Nothing will be pasted — this is still practice.",
                        paper, Scroll::top))},
        {"listening, empty, practice run without a target", TranscriptDisplay::listening("", std::nullopt),
         live(r(listeningStatus, {ThemeColour::paper, 0.75}, "Listening…", muted, Scroll::end), Indicator::pulsing,
              ember, false, std::nullopt)},
        {"listening with text, target without a field hint", TranscriptDisplay::listening("hello", editor),
         live(r(listeningStatus, {ThemeColour::paper, 0.75}, "hello", paper, Scroll::end), Indicator::pulsing, ember,
              false, "code · Kate")},
        {"listening keeps a text of spaces", TranscriptDisplay::listening("  ", mail),
         live(r(listeningStatus, {ThemeColour::paper, 0.75}, "  ", paper, Scroll::end), Indicator::pulsing, ember,
              false, "email · Subject")},
        {"paused, empty", TranscriptDisplay::paused("", editor),
         live(r(pausedStatus, mint, "Paused — nothing dictated yet.", muted, Scroll::end), Indicator::still, mint,
              true, "code · Kate")},
        {"paused with text", TranscriptDisplay::paused("so far", std::nullopt),
         live(r(pausedStatus, mint, "so far", paper, Scroll::end), Indicator::still, mint, true, std::nullopt)},
        {"formatting, empty: spinner, no waveform", TranscriptDisplay::formatting("", mail), formattingEmpty},
        {"copied", TranscriptDisplay::copied("Paste it with Ctrl+V."),
         r("Copied to clipboard", mint, "Paste it with Ctrl+V.", muted, Scroll::end)},
        {"error", TranscriptDisplay::error("No microphone."), r("Error", ember, "No microphone.", muted, Scroll::end)},
        {"tutorial restart", TranscriptDisplay::tutorial(TutorialStep::restart), tutorialRestart},
        {"practice result appends the suffix", TranscriptDisplay::practiceResult("Hi there."),
         r("✨ Practice complete · Super+Alt+M to dictate for real · ESC to finish", mint, "Hi there." + suffix, paper,
           Scroll::top)},
        {"practice result, empty: only the suffix", TranscriptDisplay::practiceResult(""),
         r("✨ Practice complete · Super+Alt+M to dictate for real · ESC to finish", mint, suffix, paper,
           Scroll::top)},
    };
    for (const Case& c : cases) {
        const TranscriptRendering shown = TranscriptRendering::of(c.display);
        EXPECT_EQ(shown.statusText, c.expected.statusText) << c.name;
        EXPECT_EQ(shown.transcript, c.expected.transcript) << c.name;
        EXPECT_EQ(shown.badge, c.expected.badge) << c.name;
        EXPECT_EQ(shown, c.expected) << c.name;
    }
}

TEST(TranscriptRenderingTest, TutorialTextsNameEachControl) {
    EXPECT_EQ(tutorialText(TutorialStep::pause),
              "Welcome to Dictaro. Let's learn the three recording controls before we go.\n\n⏸  Pause temporarily "
              "stops recording without losing your transcript.\n\nClick the pulsing ⏸ button up top to continue.");
    EXPECT_EQ(tutorialText(TutorialStep::cancel),
              "Last one.\n\n✕  Cancel discards everything and closes the panel. Same as pressing ESC during a real "
              "recording.\n\nClick the pulsing ✕ button to finish the tutorial.");
}

}  // namespace
}  // namespace dictaro
