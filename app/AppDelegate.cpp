#include "app/AppDelegate.h"

#include "app/dictation/AtspiAccessibilityReader.h"
#include "app/dictation/FocusTracker.h"
#include "app/dictation/HotkeyManager.h"
#include "app/dictation/Log.h"
#include "app/formatting/ContextProbe.h"
#include "app/formatting/FormattingService.h"
#include "app/ui/OnboardingWindowController.h"
#include "app/ui/StatusBarController.h"
#include "platform/concurrency/MainActor.h"
#include "platform/settings/UserDefaults.h"

namespace dictaro {

void AppDelegate::DeleteLater::operator()(OnboardingWindowController* window) const {
    // The window may be in the middle of its own close handler.
    window->deleteLater();
}

AppDelegate::AppDelegate(PermissionAccess permissions, std::shared_ptr<platform::UserDefaults> defaults)
    : permissions_(std::move(permissions)),
      defaults_(std::move(defaults)),
      formattingConfig_(FormattingConfig::fromDefaults(*defaults_)) {}

AppDelegate::~AppDelegate() = default;

// A callback that runs `member` on the delegate while it exists.
template <class Member>
auto AppDelegate::weakly(Member member) {
    return [weak = weak_from_this(), member](auto&&... arguments) {
        if (const auto self = weak.lock()) ((*self).*member)(std::forward<decltype(arguments)>(arguments)...);
    };
}

void AppDelegate::applicationDidFinishLaunching() {
    focusTracker_ = std::make_unique<FocusTracker>();
    contextProbe_ = std::make_unique<ContextProbe>(std::make_shared<AtspiAccessibilityReader>());

    rebuildFormatter();
    // Posts may come from any thread; the settings are reread on the main thread.
    formattingObservation_ = platform::NotificationCenter::defaultCenter().addObserver(
        std::string(FormattingConfig::notificationName),
        [reload = weakly(&AppDelegate::reloadFormattingConfig)] { platform::MainActor::post(reload); });

    hotkeyManager_ = std::make_unique<HotkeyManager>();
    hotkeyManager_->registerAction(HotkeyManager::Action::toggle, weakly(&AppDelegate::toggleRecording));

    statusBarController_ = std::make_unique<StatusBarController>();
    statusBarController_->onToggleRecording = weakly(&AppDelegate::toggleRecording);
    statusBarController_->onOpenSetup = weakly(&AppDelegate::showOnboarding);
    statusBarController_->onRunPractice = weakly(&AppDelegate::startPractice);
    statusBarController_->setup();

    const bool completed = defaults_->boolean("OnboardingShown").value_or(false);
    if (!completed || permissions_.microphone() != MicrophoneAuthorization::authorized ||
        !permissions_.accessibilityTrusted()) {
        showOnboarding();
    }

    Log::info("app", std::string("Application launched (formatting=") +
                         (formattingConfig_.enabled ? "true" : "false") +
                         ", provider=" + std::string(rawValue(formattingConfig_.provider)) + ")");
}

void AppDelegate::applicationWillTerminate() {
    if (hotkeyManager_) hotkeyManager_->unregisterAll();
    Log::info("app", "Application terminating");
}

void AppDelegate::rebuildFormatter() {
    formatter_.reset();
    if (!formattingConfig_.enabled) return;
    formatter_ = formattingConfig_.buildService();
    if (!formatter_) {
        Log::error("formatter", "formatting enabled but provider " + std::string(rawValue(formattingConfig_.provider)) +
                                    " has no service (missing API key?)");
    }
}

void AppDelegate::reloadFormattingConfig() {
    formattingConfig_ = FormattingConfig::fromDefaults(*defaults_);
    rebuildFormatter();
}

void AppDelegate::showOnboarding() {
    if (!onboarding_) {
        onboarding_.reset(new OnboardingWindowController(permissions_, defaults_));
        onboarding_->onDone = weakly(&AppDelegate::onboardingDone);
    }
    onboarding_->present();
}

void AppDelegate::onboardingDone() {
    onboarding_.reset();
    if (!defaults_->boolean("PracticeShown").value_or(false) && permissions_.bothGranted()) startPractice();
}

void AppDelegate::toggleRecording() {}

void AppDelegate::startPractice() {}

}  // namespace dictaro
