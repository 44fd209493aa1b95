#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "app/dictation/DictationRuntime.h"
#include "app/dictation/DictationView.h"
#include "app/dictation/PasteOutcome.h"
#include "app/dictation/PasteTarget.h"
#include "app/dictation/RecordingKeyTap.h"
#include "app/dictation/TranscriptionControl.h"
#include "app/dictation/TutorialStep.h"
#include "app/formatting/ContextProbe.h"
#include "app/formatting/FormattingConfig.h"
#include "app/formatting/FormattingService.h"
#include "app/formatting/RunningApplication.h"
#include "platform/settings/UserDefaults.h"

namespace dictaro {

// The desktop around a dictation.
struct DictationDesktop {
    // The application that was in front before our windows came up.
    std::function<std::optional<RunningApplication>()> capturedApp;
    // Blocks until the text is in the target or on the clipboard.
    std::function<PasteOutcome(const std::string& text, const std::optional<RunningApplication>& target)> paste;
    // Takes `keys` from the focused application for the controller, in place
    // of any taken before.
    std::function<void(std::span<const TappedRecordingKey> keys)> installKeyTap;
    std::function<void()> removeKeyTap;
    std::function<bool()> microphoneAuthorized;
    std::function<bool()> accessibilityTrusted;
    // Opens the setup window, for a permission that is missing.
    std::function<void()> showOnboarding;
};

// Turns the user's commands into the life of one dictation: recording into
// the panel, pause, start over, cancel, stop, the optional rewrite, the paste
// and the last word to the user; and the practice run after the setup.
// Lives on the main actor: every member is called there.
class DictationController : public std::enable_shared_from_this<DictationController> {
public:
    // How the paste chord and the hot key are written in the texts shown.
    static constexpr std::string_view pasteChordLabel = "Ctrl+V";
    static constexpr std::chrono::milliseconds copiedDismissDelay{4500};
    static constexpr std::chrono::milliseconds accessibilityDismissDelay{5000};
    static constexpr std::chrono::milliseconds errorDismissDelay{5000};
    static constexpr std::chrono::milliseconds practiceHandOverDelay{200};
    static constexpr std::string_view practiceShownKey = "PracticeShown";

    struct Dependencies {
        DictationRuntime runtime;
        DictationDesktop desktop;
        std::shared_ptr<DictationView> view;
        std::shared_ptr<TranscriptionControl> transcription;
        std::shared_ptr<const ContextProbe> contextProbe;
        std::shared_ptr<platform::UserDefaults> defaults;
    };

    // Installs the service's two callbacks; both hold the controller weakly.
    static std::shared_ptr<DictationController> create(Dependencies dependencies);

    // The formatting settings in force and the formatter they give (none when
    // formatting is off or the provider has no service). A dictation being
    // formatted keeps the formatter it started with.
    void setFormatting(FormattingConfig config, std::shared_ptr<FormattingService> formatter);

    void toggleRecording();
    void togglePause();
    void restartRecording();
    void cancelRecording();
    void startPractice();
    // A key taken by the recording key tap.
    void performTappedKey(TappedRecordingKey key);

    // Renders the panel from the current state.
    void refreshView();
    // Renders the current state and brings the panel up when it is not shown.
    void showView();

private:
    struct Mode {
        enum class Kind { normal, practiceIntro, practiceTutorial, practiceRecording, practiceResult };
        Kind kind = Kind::normal;
        TutorialStep step = TutorialStep::pause;  // practiceTutorial
        std::string text;                          // practiceResult
    };

    explicit DictationController(Dependencies dependencies);

    bool permissionsGranted() const;
    void startRecording();
    void stopRecording();
    void finishDictation(const std::string& raw);
    void pasteText(const std::string& text);
    void handlePasteOutcome(const PasteOutcome& outcome);
    void stopPracticeRecording();
    void showPracticeResult(std::string text);
    void endPractice();
    // Rewrites `raw` and hands `done` the text to paste: the rewrite, or the
    // raw transcript when the rewrite failed, came back empty or was cut short.
    void runFormatter(std::shared_ptr<FormattingService> formatter, const std::string& raw,
                      std::function<void(std::string)> done);
    void advanceTutorial(TutorialStep from);
    void scheduleTransientDismiss(std::chrono::milliseconds delay);
    void cancelTransientDismiss();
    void handleTranscriptionStatusChange(const TranscriptionStatus& status);
    void handleTranscriptUpdate(const std::string& text);
    TranscriptDisplay display() const;
    void render(const TranscriptDisplay& display);

    Dependencies deps_;
    FormattingConfig formattingConfig_;
    std::shared_ptr<FormattingService> formatter_;
    Mode mode_;
    std::string latestText_;
    bool isFormatting_ = false;
    // From a stop until its outcome has been handled: a command then would
    // stop the dictation twice, or start one that the late outcome closes.
    bool isFinishing_ = false;
    // A practice dictation asked for while the model loads.
    bool practiceStartPending_ = false;
    std::optional<PasteTarget> currentTarget_;
    DictationRuntime::Cancel transientDismiss_;
};

}  // namespace dictaro
