#pragma once

#include <memory>
#include <optional>

#include "app/formatting/FormattingConfig.h"
#include "app/ui/PermissionAccess.h"
#include "platform/settings/NotificationCenter.h"

namespace platform {
class UserDefaults;
}

namespace dictaro {

class ContextProbe;
class FocusTracker;
class FormattingService;
class HotkeyManager;
class OnboardingWindowController;
class StatusBarController;

// Builds and owns every long-lived object of the application at launch and
// wires them: the hot key, the tray menu and the setup window reach the
// dictation through it, and the formatting settings reach the formatter.
// Lives on the main thread, held by the entry point; every callback it hands
// out holds it weakly.
class AppDelegate final : public std::enable_shared_from_this<AppDelegate> {
public:
    AppDelegate(PermissionAccess permissions, std::shared_ptr<platform::UserDefaults> defaults);
    ~AppDelegate();
    AppDelegate(const AppDelegate&) = delete;
    AppDelegate& operator=(const AppDelegate&) = delete;

    void applicationDidFinishLaunching();
    void applicationWillTerminate();

    StatusBarController* statusBarController() const { return statusBarController_.get(); }
    OnboardingWindowController* onboarding() const { return onboarding_.get(); }
    const FormattingConfig& formattingConfig() const { return formattingConfig_; }
    const std::shared_ptr<FormattingService>& formatter() const { return formatter_; }

    // Opens the setup window, or brings the open one forward.
    void showOnboarding();

private:
    struct DeleteLater {
        void operator()(OnboardingWindowController* window) const;
    };

    void rebuildFormatter();
    void reloadFormattingConfig();
    void toggleRecording();
    void startPractice();
    void onboardingDone();
    template <class Member>
    auto weakly(Member member);

    PermissionAccess permissions_;
    std::shared_ptr<platform::UserDefaults> defaults_;
    std::unique_ptr<HotkeyManager> hotkeyManager_;
    std::unique_ptr<StatusBarController> statusBarController_;
    std::unique_ptr<FocusTracker> focusTracker_;
    std::unique_ptr<ContextProbe> contextProbe_;
    std::shared_ptr<FormattingService> formatter_;
    std::unique_ptr<OnboardingWindowController, DeleteLater> onboarding_;
    FormattingConfig formattingConfig_;
    platform::NotificationCenter::Registration formattingObservation_;
};

}  // namespace dictaro
