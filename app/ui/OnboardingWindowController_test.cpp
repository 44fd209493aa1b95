#include "app/ui/OnboardingWindowController.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QKeySequence>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QTimer>
#include <chrono>
#include <filesystem>
#include <vector>

#include "app/formatting/FormattingConfig.h"
#include "app/ui/FormattingSection.h"
#include "app/ui/MicInputSection.h"
#include "app/ui/StatusRow.h"
#include "platform/concurrency/MainActor.h"
#include "platform/settings/UserDefaults.h"
#include "tests/support/FakeProviderServer.h"
#include "tests/support/FormattingSectionTestSupport.h"
#include "tests/support/PrivateSessionBus.h"
#include "tests/support/Screenshots.h"
#include "tests/support/TempDirectory.h"

namespace dictaro {
namespace {

// Permissions the test grants and revokes, counting what the window asks for.
struct FakeDesktop {
    MicrophoneAuthorization microphone = MicrophoneAuthorization::notDetermined;
    bool accessibility = false;
    bool hasSettingsProgram = true;
    int microphoneRequests = 0;
    int settingsOpened = 0;
    int accessibilityRequests = 0;

    PermissionAccess access() {
        PermissionAccess access;
        access.microphone = [this] { return microphone; };
        access.accessibilityTrusted = [this] { return accessibility; };
        access.requestMicrophone = [this](std::function<void(bool)> completion) {
            ++microphoneRequests;
            microphone = MicrophoneAuthorization::authorized;
            platform::MainActor::post([completion] { completion(true); });
        };
        access.requestAccessibility = [this] { ++accessibilityRequests; };
        access.openMicrophoneSettings = [this] {
            ++settingsOpened;
            return hasSettingsProgram;
        };
        access.relaunch = [] { return false; };
        return access;
    }
};

// Runs the toolkit and the main actor until `done` holds or `timeout` passes.
bool serveUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeout.count()) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        platform::MainActor::drain();
    }
    return true;
}

// A part of the window as it shows there, on the window's own background.
QImage shotOf(QWidget& window, const QWidget& part) {
    return window.grab(QRect(part.mapTo(&window, QPoint(0, 0)), part.size())).toImage();
}

class OnboardingWindowTest : public ::testing::Test {
protected:
    // The window's formatting section reads the providers' keys.
    void SetUp() override { ASSERT_TRUE(testsupport::onPrivateSessionBus()); }

    std::unique_ptr<OnboardingWindowController> makeWindow() {
        auto window = std::make_unique<OnboardingWindowController>(desktop.access(), defaults,
                                                                   [this] { return microphones; });
        window->onDone = [this] { ++doneCalls; };
        window->onVisibilityChanged = [this](bool visible) { visibility.push_back(visible); };
        return window;
    }

    void pressReturn(QWidget& window) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
        QApplication::sendEvent(&window, &press);
        QApplication::processEvents();
    }

    std::optional<bool> onboardingShown() const {
        return platform::UserDefaults(defaults->file()).boolean("OnboardingShown");
    }

    testsupport::TempDirectory folder;
    std::shared_ptr<platform::UserDefaults> defaults =
        std::make_shared<platform::UserDefaults>(folder.path() / "settings.json");
    FakeDesktop desktop;
    std::vector<DictaroAudioDevice> microphones;
    int doneCalls = 0;
    std::vector<bool> visibility;
};

TEST_F(OnboardingWindowTest, RowsAndGetStartedFollowBothPermissions) {
    using enum MicrophoneAuthorization;
    struct Row {
        std::string badge;
        std::string colour;
        std::string action;  // empty: hidden
    };
    struct Case {
        MicrophoneAuthorization microphone;
        bool accessibility;
        Row mic;
        Row ax;
        bool enabled;
        std::string primary;
    };
    const Row granted{"✓ Granted", "green", ""};
    const std::vector<Case> cases = {
        {authorized, true, granted, granted, true, "Get Started"},
        {notDetermined, false, {"Required", "orange", "Grant Access"}, {"Required", "orange", "Grant Access"}, false,
         "Waiting…"},
        {denied, true, {"Required", "orange", "Open Settings"}, granted, false, "Waiting…"},
        {restricted, true, {"Required", "orange", "Open Settings"}, granted, false, "Waiting…"},
        {authorized, false, granted, {"Required", "orange", "Grant Access"}, false, "Waiting…"},
    };
    const auto rowOf = [](const StatusRow& row) {
        const QColor colour = row.badge()->palette().color(QPalette::WindowText);
        const std::string name = colour.green() > colour.red() ? "green" : "orange";
        return Row{row.badge()->text().toStdString(), name,
                   row.actionButton()->isHidden() ? "" : row.actionButton()->text().toStdString()};
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "microphone " << static_cast<int>(c.microphone) << ", accessibility "
                                        << c.accessibility);
        desktop.microphone = c.microphone;
        desktop.accessibility = c.accessibility;
        const auto window = makeWindow();
        const Row mic = rowOf(*window->micRow());
        const Row ax = rowOf(*window->axRow());
        EXPECT_EQ(mic.badge, c.mic.badge);
        EXPECT_EQ(mic.colour, c.mic.colour);
        EXPECT_EQ(mic.action, c.mic.action);
        EXPECT_EQ(ax.badge, c.ax.badge);
        EXPECT_EQ(ax.colour, c.ax.colour);
        EXPECT_EQ(ax.action, c.ax.action);
        EXPECT_EQ(window->primaryButton()->isEnabled(), c.enabled);
        EXPECT_EQ(window->primaryButton()->text().toStdString(), c.primary);
    }
}

TEST_F(OnboardingWindowTest, GrantMadeElsewhereEnablesGetStartedWithinAboutASecondAndReturnFinishes) {
    desktop.microphone = MicrophoneAuthorization::authorized;
    const auto window = makeWindow();
    window->present();
    EXPECT_EQ(visibility, std::vector<bool>{true});

    pressReturn(*window);
    EXPECT_FALSE(onboardingShown().has_value()) << "Return must do nothing while a permission is missing";
    EXPECT_TRUE(window->isVisible());

    desktop.accessibility = true;
    EXPECT_TRUE(serveUntil([&] { return window->primaryButton()->isEnabled(); }, std::chrono::milliseconds(1800)));
    EXPECT_EQ(window->axRow()->badge()->text().toStdString(), "✓ Granted");

    pressReturn(*window);
    EXPECT_EQ(onboardingShown(), true);
    EXPECT_FALSE(window->isVisible());
    EXPECT_FALSE(window->isPolling());
    EXPECT_EQ(doneCalls, 1);
    EXPECT_EQ(visibility, (std::vector<bool>{true, false}));
}

TEST_F(OnboardingWindowTest, ClosingRecordsCompletionOnlyWithBothPermissionsButAlwaysReportsDone) {
    for (const bool accessibility : {false, true}) {
        SCOPED_TRACE(accessibility);
        defaults->removeObject("OnboardingShown");
        doneCalls = 0;
        desktop.microphone = MicrophoneAuthorization::authorized;
        desktop.accessibility = accessibility;
        const auto window = makeWindow();
        window->present();
        window->close();
        EXPECT_EQ(onboardingShown(), accessibility ? std::optional<bool>(true) : std::nullopt);
        EXPECT_EQ(doneCalls, 1);
        EXPECT_FALSE(window->isPolling());
    }
}

TEST_F(OnboardingWindowTest, MicrophoneButtonAsksOnlyWhenUndecidedAndOtherwiseOpensSettings) {
    struct Case {
        MicrophoneAuthorization state;
        bool hasSettingsProgram;
        int requests;
        int settingsOpened;
        bool explained;
    };
    const std::vector<Case> cases = {
        {MicrophoneAuthorization::notDetermined, true, 1, 0, false},
        {MicrophoneAuthorization::denied, true, 0, 1, false},
        {MicrophoneAuthorization::denied, false, 0, 1, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.state));
        desktop = FakeDesktop{};
        desktop.microphone = c.state;
        desktop.hasSettingsProgram = c.hasSettingsProgram;
        const auto window = makeWindow();
        const QString subtitle = window->micRow()->subtitleLabel()->text();
        window->micRow()->actionButton()->click();
        platform::MainActor::drain();
        EXPECT_EQ(desktop.microphoneRequests, c.requests);
        EXPECT_EQ(desktop.settingsOpened, c.settingsOpened);
        EXPECT_EQ(window->micRow()->subtitleLabel()->text() != subtitle, c.explained);
        if (c.requests) {
            EXPECT_EQ(window->micRow()->badge()->text().toStdString(), "✓ Granted");
        }
    }
}

TEST_F(OnboardingWindowTest, EachShowingListsTheMicrophonesPluggedInSinceTheLast) {
    const auto window = makeWindow();
    EXPECT_EQ(window->micInputSection()->popup()->count(), 1);
    microphones = {{7, "Desk Mic", 1}};
    window->present();
    ASSERT_EQ(window->micInputSection()->popup()->count(), 2);
    EXPECT_EQ(window->micInputSection()->popup()->itemText(1).toStdString(), "Desk Mic  (1 ch)");
    window->close();
}

TEST_F(OnboardingWindowTest, TheMicrophoneRowShowsItsWholeExplanationUntilTheStateChanges) {
    desktop.microphone = MicrophoneAuthorization::denied;
    desktop.accessibility = true;
    desktop.hasSettingsProgram = false;
    const auto window = makeWindow();
    window->present();
    StatusRow& row = *window->micRow();
    QLabel& explanation = *row.subtitleLabel();
    row.actionButton()->click();
    ASSERT_EQ(explanation.text().toStdString(), SetupWindowPresenter::noMicrophoneSettings());
    QApplication::processEvents();
    EXPECT_GE(explanation.height(), explanation.heightForWidth(explanation.width())) << "the explanation is cut";
    EXPECT_GE(explanation.heightForWidth(explanation.width()), 2 * explanation.fontMetrics().lineSpacing());
    testsupport::expectLooksLike(shotOf(*window, row), SCREENSHOT_DIR, GOLDEN_DIR, "setup-microphone-row-explained");

    // The sound server comes up: the poll finds the microphone granted.
    desktop.microphone = MicrophoneAuthorization::authorized;
    ASSERT_TRUE(serveUntil([&] { return row.badge()->text().toStdString() == "✓ Granted"; },
                           std::chrono::milliseconds(1800)));
    EXPECT_EQ(explanation.text().toStdString(), SetupWindowPresenter::microphoneSubtitle());
    QApplication::processEvents();
    testsupport::expectLooksLike(shotOf(*window, row), SCREENSHOT_DIR, GOLDEN_DIR, "setup-microphone-row-granted");
    window->close();
}

TEST_F(OnboardingWindowTest, TheResetAlertShowsItsButtonsAsWritten) {
    const auto window = makeWindow();
    QPushButton* repair = nullptr;
    for (QPushButton* button : window->findChildren<QPushButton*>()) {
        if (button->text().toStdString() == SetupWindowPresenter::repairLink()) repair = button;
    }
    ASSERT_NE(repair, nullptr);
    bool seen = false;
    QTimer::singleShot(0, [&] {
        auto* alert = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(alert, nullptr);
        seen = true;
        std::vector<std::string> titles;
        for (QAbstractButton* button : alert->buttons()) {
            // A lone "&" would mark a shortcut and vanish from the title.
            EXPECT_TRUE(QKeySequence::mnemonic(button->text()).isEmpty()) << button->text().toStdString();
            titles.push_back(button->text().replace(QStringLiteral("&&"), QStringLiteral("&")).toStdString());
        }
        EXPECT_EQ(titles, (std::vector<std::string>{"Reset & Relaunch", "Cancel"}));
        testsupport::expectLooksLike(alert->grab().toImage(), SCREENSHOT_DIR, GOLDEN_DIR, "setup-reset-alert");
        alert->reject();
    });
    repair->click();
    EXPECT_TRUE(seen);
}

TEST_F(OnboardingWindowTest, ALongProviderErrorEndsInAnEllipsisAndLeavesTheRowsOnTheWindow) {
    std::string reason = "Your request was refused";
    while (reason.size() < 300) reason += ", and refused again for a reason the provider explains at length";
    reason.resize(300);
    testsupport::FakeProviderServer provider;
    testsupport::ScriptedAnswer refused;
    refused.status = 401;
    refused.errorBody = R"({"error":{"message":")" + reason + R"("}})";
    provider.script("/v1/responses", refused);
    defaults->set("FormattingProvider", "openai");
    ASSERT_TRUE(FormattingConfig::setAPIKey("sk-test", FormattingProvider::openai));
    desktop.microphone = MicrophoneAuthorization::authorized;
    OnboardingWindowController window(desktop.access(), defaults, [this] { return microphones; },
                                      testing::probeAgainst(provider));
    window.present();
    auto* status = window.formattingSection()->findChild<QLabel*>(QStringLiteral("statusLabel"));
    ASSERT_NE(status, nullptr);
    const QString line = QString::fromStdString("\u2717 Formatting backend unavailable: " + reason);
    EXPECT_TRUE(serveUntil([&] { return line.startsWith(status->text().chopped(1)) && status->text().endsWith(u'…'); },
                           std::chrono::seconds(10)))
        << "not cut at its tail: " << status->text().toStdString();
    QApplication::processEvents();
    EXPECT_LE(status->fontMetrics().horizontalAdvance(status->text()), status->width());

    // The rest of the window keeps its layout: no row pushed aside, no text squeezed.
    QPushButton* grantAccess = window.axRow()->actionButton();
    EXPECT_LE(grantAccess->mapTo(&window, QPoint(grantAccess->width(), 0)).x(), window.width() - 24)
        << "Grant Access is pushed off the window";
    EXPECT_LE(status->mapTo(&window, QPoint(status->width(), 0)).x(), window.width() - 24);
    for (QLabel* label : window.findChildren<QLabel*>()) {
        if (label->wordWrap() && label->isVisible()) {
            EXPECT_GE(label->height(), label->heightForWidth(label->width())) << label->text().toStdString();
        }
    }
    for (QScrollArea* scroll : window.findChildren<QScrollArea*>()) scroll->ensureWidgetVisible(status);
    QApplication::processEvents();
    testsupport::expectLooksLike(window.grab().toImage(), SCREENSHOT_DIR, GOLDEN_DIR,
                                 "setup-window-long-provider-error");
    window.close();
    EXPECT_TRUE(FormattingConfig::setAPIKey("", FormattingProvider::openai));
}

TEST_F(OnboardingWindowTest, ScreenshotOfTheWindowWaitingForAccessibility) {
    desktop.microphone = MicrophoneAuthorization::authorized;
    const auto window = makeWindow();
    // Not presented: the formatting section's check of the local server would
    // otherwise race the picture.
    testsupport::expectLooksLike(window->grab().toImage(), SCREENSHOT_DIR, GOLDEN_DIR, "setup-window");
}

}  // namespace
}  // namespace dictaro
