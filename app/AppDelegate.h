#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "app/formatting/FormattingConfig.h"
#include "app/ui/PermissionAccess.h"
#include "platform/settings/NotificationCenter.h"

namespace platform {
class UserDefaults;
}
namespace platform::clipboard {
struct PasteboardSnapshot;
}

namespace dictaro {

class ContextProbe;
class DictationController;
class FocusTracker;
class FormattingService;
class HotkeyManager;
class OnboardingWindowController;
class Paster;
class RecordingKeyTap;
class StatusBarController;
class TranscriptPanel;
class TranscriptionControl;

// Builds and owns every long-lived object of the application at launch and
// wires them: the hot key, the tray menu, the panel's buttons and the
// recording keys reach the dictation controller through it, the formatting
// settings reach the formatter, and the setup window opens when it is due.
// Lives on the main thread, held by the entry point; every callback it hands
// out holds it weakly.
class AppDelegate final : public std::enable_shared_from_this<AppDelegate> {
public:
    struct Services {
        PermissionAccess permissions;
        std::shared_ptr<platform::UserDefaults> defaults;
        // The speech service for a model; it starts loading the model itself.
        std::function<std::shared_ptr<TranscriptionControl>(const std::string& modelName)> makeTranscription;
        // The microphone's recent levels for the panel's meter; empty while
        // no model is loaded.
        std::function<std::vector<float>()> audioLevels;
        // Starts the process that serves the clipboard's contents once we
        // have quit, where no clipboard manager takes them; whether it did.
        std::function<bool(const platform::clipboard::PasteboardSnapshot&)> keepClipboard;
    };

    static constexpr const char* modelName = "openai_whisper-base.en";

    explicit AppDelegate(Services services);
    ~AppDelegate();
    AppDelegate(const AppDelegate&) = delete;
    AppDelegate& operator=(const AppDelegate&) = delete;

    void applicationDidFinishLaunching();
    void applicationWillTerminate();

    StatusBarController* statusBarController() const { return statusBarController_.get(); }
    OnboardingWindowController* onboarding() const { return onboarding_.get(); }
    TranscriptPanel* panel() const { return panel_.get(); }
    const FormattingConfig& formattingConfig() const { return formattingConfig_; }
    const std::shared_ptr<FormattingService>& formatter() const { return formatter_; }

    // Opens the setup window, or brings the open one forward.
    void showOnboarding();

private:
    struct DeleteLater {
        void operator()(OnboardingWindowController* window) const;
    };
    struct PasteDesktop;

    void finishBackgroundWork();
    void rebuildFormatter();
    void installFormatter(FormattingConfig config, std::shared_ptr<FormattingService> formatter);
    void reloadFormattingConfig();
    void buildDictation();
    void onboardingDone();
    template <class Member>
    auto weakly(Member member);
    template <class Member>
    auto onController(Member member);

    Services services_;
    std::unique_ptr<HotkeyManager> hotkeyManager_;
    std::unique_ptr<StatusBarController> statusBarController_;
    std::shared_ptr<TranscriptPanel> panel_;
    std::shared_ptr<TranscriptionControl> transcription_;
    std::unique_ptr<FocusTracker> focusTracker_;
    std::shared_ptr<ContextProbe> contextProbe_;
    std::shared_ptr<FormattingService> formatter_;
    std::unique_ptr<OnboardingWindowController, DeleteLater> onboarding_;
    FormattingConfig formattingConfig_;
    // Counts the settings reloads, so that only the newest one's formatter is kept.
    std::uint64_t formatterGeneration_ = 0;
    std::shared_ptr<PasteDesktop> pasteDesktop_;
    // The controller's rewrites and pastes under way.
    std::shared_ptr<std::atomic<int>> backgroundWork_ = std::make_shared<std::atomic<int>>(0);
    std::unique_ptr<RecordingKeyTap> keyTap_;
    std::shared_ptr<DictationController> controller_;
    platform::NotificationCenter::Registration formattingObservation_;
};

}  // namespace dictaro
