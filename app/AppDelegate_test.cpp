#include "app/AppDelegate.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <algorithm>
#include <chrono>

#include "app/dictation/TranscriptionControl.h"
#include "app/formatting/FormattingService.h"
#include "app/ui/OnboardingWindowController.h"
#include "app/ui/TranscriptPanel.h"
#include "platform/concurrency/MainActor.h"
#include "platform/settings/NotificationCenter.h"
#include "platform/settings/UserDefaults.h"
#include "tests/support/LogLines.h"
#include "tests/support/PausedSecretService.h"
#include "tests/support/PrivateSessionBus.h"
#include "tests/support/TempDirectory.h"

namespace dictaro {
namespace {

// A speech service whose model is loaded and that never hears anything.
class ReadyTranscription final : public TranscriptionControl {
public:
    TranscriptionStatus status() const override { return TranscriptionStatus::ready(); }
    void setOnStatusChange(StatusHandler) override {}
    void setOnTranscriptUpdate(TranscriptHandler) override {}
    void start() override {}
    void stop(std::function<void(std::string)> done) override { done(""); }
    void pause() override {}
    void resume() override {}
    void restart() override {}
    void recoverFromError() override {}
};

bool serveUntil(const std::function<bool()>& done) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > 3000) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        platform::MainActor::drain();
    }
    return true;
}

class AppDelegateTest : public ::testing::Test {
protected:
    std::shared_ptr<AppDelegate> launch() {
        AppDelegate::Services services;
        services.permissions.microphone = [this] { return microphone; };
        services.permissions.accessibilityTrusted = [this] { return accessibility; };
        services.permissions.requestMicrophone = [](std::function<void(bool)> done) { done(false); };
        services.permissions.requestAccessibility = [] {};
        services.permissions.openMicrophoneSettings = [] { return false; };
        services.permissions.relaunch = [] { return false; };
        services.defaults = defaults;
        services.makeTranscription = [this](const std::string& model) {
            requestedModel = model;
            return std::make_shared<ReadyTranscription>();
        };
        auto delegate = std::make_shared<AppDelegate>(std::move(services));
        delegate->applicationDidFinishLaunching();
        return delegate;
    }

    std::vector<std::string> appLines() {
        std::vector<std::string> lines;
        for (const std::string& text : log->texts()) {
            if (text.starts_with("[app] ") || text.starts_with("[formatter] ")) lines.push_back(text);
        }
        return lines;
    }

    // The delegate builds the formatter, which reads the provider's key.
    void SetUp() override { ASSERT_TRUE(testsupport::onPrivateSessionBus()); }
    void TearDown() override { log->uninstall(); }

    testsupport::TempDirectory folder;
    std::shared_ptr<platform::UserDefaults> defaults =
        std::make_shared<platform::UserDefaults>(folder.path() / "settings.json");
    std::shared_ptr<testsupport::LogLines> log = testsupport::LogLines::install();
    MicrophoneAuthorization microphone = MicrophoneAuthorization::authorized;
    bool accessibility = true;
    std::string requestedModel;
};

TEST_F(AppDelegateTest, SetupWindowOpensAtLaunchWhenNeverCompletedOrAPermissionIsMissing) {
    struct Case {
        std::optional<bool> onboardingShown;
        MicrophoneAuthorization microphone;
        bool accessibility;
        bool opens;
    };
    const std::vector<Case> cases = {
        {std::nullopt, MicrophoneAuthorization::authorized, true, true},
        {true, MicrophoneAuthorization::authorized, true, false},
        {true, MicrophoneAuthorization::denied, true, true},
        {true, MicrophoneAuthorization::authorized, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "shown " << c.onboardingShown.value_or(false) << ", microphone "
                                        << static_cast<int>(c.microphone) << ", accessibility " << c.accessibility);
        if (c.onboardingShown) {
            defaults->set("OnboardingShown", platform::JSONNumber::boolean(*c.onboardingShown));
        } else {
            defaults->removeObject("OnboardingShown");
        }
        microphone = c.microphone;
        accessibility = c.accessibility;
        const auto delegate = launch();
        EXPECT_EQ(requestedModel, "openai_whisper-base.en");
        EXPECT_EQ(delegate->onboarding() != nullptr, c.opens);
        if (delegate->onboarding()) {
            EXPECT_TRUE(delegate->onboarding()->isVisible());
            delegate->onboarding()->close();
        }
        delegate->applicationWillTerminate();
    }
}

TEST_F(AppDelegateTest, ProviderWithoutKeyIsLoggedAtLaunchAndSavedSettingsRebuildTheFormatter) {
    defaults->set("OnboardingShown", platform::JSONNumber::boolean(true));
    defaults->set("FormattingEnabled", platform::JSONNumber::boolean(true));
    defaults->set("FormattingProvider", "anthropic");
    const auto delegate = launch();
    EXPECT_EQ(delegate->formatter(), nullptr);
    EXPECT_EQ(appLines(), (std::vector<std::string>{
                              "[formatter] formatting enabled but provider anthropic has no service (missing API key?)",
                              "[app] Application launched (formatting=true, provider=anthropic)"}));

    // What the settings section does when the user picks another provider.
    defaults->set("FormattingProvider", "ollama");
    platform::NotificationCenter::defaultCenter().post(FormattingConfig::notificationName);
    EXPECT_TRUE(serveUntil([&] { return delegate->formatter() != nullptr; }));
    EXPECT_EQ(delegate->formattingConfig().provider, FormattingProvider::ollama);

    delegate->applicationWillTerminate();
    EXPECT_EQ(appLines().back(), "[app] Application terminating");
}

// The settings section announces every keystroke of an API key; the delegate
// reads the key back from a secret store that may be slow to answer, and the
// event loop must go on meanwhile.
TEST_F(AppDelegateTest, ASlowSecretServiceNeverHoldsUpTheEventLoopWhenTheSettingsChange) {
    defaults->set("OnboardingShown", platform::JSONNumber::boolean(true));
    defaults->set("FormattingEnabled", platform::JSONNumber::boolean(true));
    defaults->set("FormattingProvider", "anthropic");
    ASSERT_TRUE(FormattingConfig::setAPIKey("sk-ant-typed", FormattingProvider::anthropic));
    const auto delegate = launch();
    ASSERT_NE(delegate->formatter(), nullptr);

    testsupport::PausedSecretService slow;
    ASSERT_TRUE(slow.isPaused());
    defaults->set("FormattingProvider", "gemini");
    platform::NotificationCenter::defaultCenter().post(FormattingConfig::notificationName);
    bool served = false;
    platform::MainActor::post([&served] { served = true; });
    EXPECT_TRUE(serveUntil([&] { return served; }));
    // The loop ran while the store stayed silent, with the old settings still in force.
    EXPECT_EQ(delegate->formattingConfig().provider, FormattingProvider::anthropic);
    slow.resume();
    EXPECT_TRUE(serveUntil([&] { return delegate->formattingConfig().provider == FormattingProvider::gemini; }));
    EXPECT_EQ(delegate->formatter(), nullptr);

    // Of two changes in a row the newer one stands, whichever read ends first.
    defaults->set("FormattingProvider", "anthropic");
    platform::NotificationCenter::defaultCenter().post(FormattingConfig::notificationName);
    defaults->set("FormattingProvider", "ollama");
    platform::NotificationCenter::defaultCenter().post(FormattingConfig::notificationName);
    EXPECT_TRUE(serveUntil([&] { return delegate->formattingConfig().provider == FormattingProvider::ollama; }));
    EXPECT_FALSE(serveUntil([&] { return delegate->formattingConfig().provider != FormattingProvider::ollama; }));
    EXPECT_NE(delegate->formatter(), nullptr);

    EXPECT_TRUE(FormattingConfig::setAPIKey("", FormattingProvider::anthropic));
    delegate->applicationWillTerminate();
}

TEST_F(AppDelegateTest, FinishingSetupWithBothPermissionsStartsThePracticeOnceAndReleasesTheWindow) {
    for (const bool practiceShown : {true, false}) {
        SCOPED_TRACE(practiceShown);
        defaults->removeObject("OnboardingShown");
        defaults->set("PracticeShown", platform::JSONNumber::boolean(practiceShown));
        const auto delegate = launch();
        ASSERT_NE(delegate->onboarding(), nullptr);
        delegate->onboarding()->primaryButton()->click();
        EXPECT_EQ(delegate->onboarding(), nullptr);
        EXPECT_EQ(defaults->boolean("OnboardingShown"), true);
        EXPECT_EQ(delegate->panel()->isVisible(), !practiceShown);
        delegate->panel()->hide();
        delegate->applicationWillTerminate();
    }
}

}  // namespace
}  // namespace dictaro
