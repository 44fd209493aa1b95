#include <gtest/gtest.h>

#include <QApplication>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <string>

#include "app/dictation/AppIdentity.h"
#include "app/ui/OnboardingWindowController.h"
#include "app/ui/SetupWindowPresenter.h"
#include "app/ui/StatusBarController.h"
#include "app/ui/TranscriptPanel.h"
#include "platform/settings/UserDefaults.h"
#include "platform/x11/Workspace.h"
#include "tests/desktop/DesktopSession.h"
#include "tests/support/PrivateSessionBus.h"
#include "tests/support/TempDirectory.h"

namespace dictaro {
namespace {

using desktoptest::waitUntil;

PermissionAccess missingAccessibility() {
    PermissionAccess access;
    access.microphone = [] { return MicrophoneAuthorization::authorized; };
    access.accessibilityTrusted = [] { return false; };
    access.requestMicrophone = [](std::function<void(bool)> done) { done(true); };
    access.requestAccessibility = [] {};
    access.openMicrophoneSettings = [] { return false; };
    access.relaunch = [] { return false; };
    return access;
}

// Whether the desktop, reading the active window the way the focus tracker
// does, finds `window` in front and takes it for this application.
bool inFrontAsOurs(platform::x11::Workspace& workspace, const QWidget& window) {
    const auto front = workspace.frontmostApplication();
    return front && front->window == window.winId() &&
           front->bundleIdentifier == std::string(applicationIdentifier);
}

// Every window on the screen now reads as ours; there are at least `expected`.
void expectEveryShownWindowOurs(platform::x11::Workspace& workspace, int expected, const char* when) {
    SCOPED_TRACE(when);
    int windows = 0;
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (!window->isVisible()) continue;
        ++windows;
        const auto read = workspace.describe(window->winId());
        ASSERT_TRUE(read);
        EXPECT_EQ(read->bundleIdentifier, std::string(applicationIdentifier))
            << "the window of a " << window->metaObject()->className();
    }
    EXPECT_GE(windows, expected);
}

// The focus tracker must never take one of our own windows for the
// application the user dictates into: every window we put on the screen
// reads as the application itself, not only the setup window.
TEST(OwnWindowsTest, EveryWindowOfOursReadsAsTheApplicationItself) {
    // The setup window's formatting section reads the providers' keys.
    ASSERT_TRUE(testsupport::onPrivateSessionBus());
    testsupport::TempDirectory folder;
    const auto defaults = std::make_shared<platform::UserDefaults>(folder.path() / "settings.json");
    platform::x11::Workspace workspace;

    TranscriptPanel panel(defaults);
    panel.render(TranscriptDisplay::ready());
    panel.showAtPersistedPosition();
    StatusBarController tray;
    tray.setup();
    tray.menu()->popup(QPoint(200, 200));
    ASSERT_TRUE(waitUntil([&] { return panel.isVisible() && tray.menu()->isVisible(); }));
    expectEveryShownWindowOurs(workspace, 3, "the panel, the tray icon and its menu");
    tray.menu()->hide();

    OnboardingWindowController setup(missingAccessibility(), defaults, [] { return std::vector<DictaroAudioDevice>{}; });
    setup.present();
    EXPECT_TRUE(waitUntil([&] { return inFrontAsOurs(workspace, setup); })) << "the setup window";

    // The reset alert is modal: it is looked at while it runs.
    QPushButton* repair = nullptr;
    for (QPushButton* button : setup.findChildren<QPushButton*>()) {
        if (button->text().toStdString() == SetupWindowPresenter::repairLink()) repair = button;
    }
    ASSERT_NE(repair, nullptr);
    bool alertSeen = false;
    QTimer::singleShot(0, [&] {
        QWidget* alert = nullptr;
        EXPECT_TRUE(waitUntil([&] { return (alert = QApplication::activeModalWidget()) != nullptr; }));
        if (!alert) return;
        alertSeen = true;
        EXPECT_TRUE(waitUntil([&] { return inFrontAsOurs(workspace, *alert); })) << "the reset alert";
        expectEveryShownWindowOurs(workspace, 4, "the panel, the tray icon, the setup window and its alert");
        static_cast<QMessageBox*>(alert)->reject();
    });
    repair->click();
    EXPECT_TRUE(alertSeen);
    setup.close();
}

}  // namespace
}  // namespace dictaro
