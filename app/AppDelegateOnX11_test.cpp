#include <gtest/gtest.h>

#include "app/AppDelegate.h"
#include "app/dictation/TranscriptionControl.h"
#include "app/ui/StatusBarController.h"
#include "platform/settings/UserDefaults.h"
#include "tests/desktop/DesktopSession.h"
#include "tests/support/TempDirectory.h"

// The delegate on the test session's X server, where its paste reaches
// another program's editor and the clipboard is the desktop's.
namespace dictaro {
namespace {

using namespace std::chrono_literals;
using desktoptest::clipboardAs;
using desktoptest::TargetWindow;

// A speech service whose model is loaded and that always hears `words`.
class HearingTranscription final : public TranscriptionControl {
public:
    explicit HearingTranscription(std::string words) : words_(std::move(words)) {}

    TranscriptionStatus status() const override { return status_; }
    void setOnStatusChange(StatusHandler) override {}
    void setOnTranscriptUpdate(TranscriptHandler) override {}
    void start() override { status_ = TranscriptionStatus::recording(); }
    void stop(std::function<void(std::string)> done) override {
        status_ = TranscriptionStatus::ready();
        done(words_);
    }
    void pause() override {}
    void resume() override {}
    void restart() override {}
    void recoverFromError() override {}

private:
    std::string words_;
    TranscriptionStatus status_ = TranscriptionStatus::ready();
};

std::shared_ptr<AppDelegate> launch(const std::shared_ptr<platform::UserDefaults>& defaults, const std::string& words) {
    AppDelegate::Services services;
    services.permissions.microphone = [] { return MicrophoneAuthorization::authorized; };
    services.permissions.accessibilityTrusted = [] { return true; };
    services.permissions.requestMicrophone = [](std::function<void(bool)> done) { done(true); };
    services.permissions.requestAccessibility = [] {};
    services.permissions.openMicrophoneSettings = [] { return false; };
    services.permissions.relaunch = [] { return false; };
    services.defaults = defaults;
    services.makeTranscription = [words](const std::string&) { return std::make_shared<HearingTranscription>(words); };
    auto delegate = std::make_shared<AppDelegate>(std::move(services));
    delegate->applicationDidFinishLaunching();
    return delegate;
}

// Quitting right after a dictation: the paste under way still lands and gives
// the user's clipboard back before the delegate and its paster are gone.
TEST(AppDelegateOnX11, QuitWhileAPasteRunsLetsItFinishFirst) {
    testsupport::TempDirectory folder;
    auto defaults = std::make_shared<platform::UserDefaults>(folder.path() / "settings.json");
    defaults->set("OnboardingShown", platform::JSONNumber::boolean(true));
    defaults->set("PracticeShown", platform::JSONNumber::boolean(true));
    TargetWindow::Options ownerOptions = TargetWindow::withAppId("org.dictaro.ClipboardOwner");
    ownerOptions.ownClipboard = "the user's own words";
    TargetWindow owner(ownerOptions);
    ASSERT_TRUE(owner.waitUntilActive());
    // Reads the text well after the keystroke.
    TargetWindow::Options slow;
    slow.paste = "slow";
    TargetWindow target(slow);
    ASSERT_TRUE(target.waitUntilActive());

    auto delegate = launch(defaults, "Said just before quitting.");
    delegate->statusBarController()->onToggleRecording();
    delegate->statusBarController()->onToggleRecording();
    // The event loop ends with the quit, and the entry point lets the delegate go.
    delegate->applicationWillTerminate();
    delegate.reset();

    EXPECT_EQ(target.text(), "Said just before quitting.");
    EXPECT_EQ(clipboardAs("text/plain"), "the user's own words");
}

}  // namespace
}  // namespace dictaro
