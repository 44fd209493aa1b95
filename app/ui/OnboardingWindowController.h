#pragma once

#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>

#include "app/ui/MicInputSectionPresenter.h"
#include "app/ui/PermissionAccess.h"
#include "app/ui/ProviderProbe.h"

class QPushButton;

namespace platform {
class UserDefaults;
}

namespace dictaro {

class FormattingSection;
class MicInputSection;
class StatusRow;

// The setup window: the two permissions with their state and an action each,
// the microphone and formatting settings, a repair link, and "Get Started",
// which is enabled only once both permissions are granted. While shown it
// reads the permissions again every second, so a grant made in the desktop's
// settings shows up by itself.
class OnboardingWindowController final : public QWidget {
public:
    static constexpr int pollIntervalMs = 1000;

    OnboardingWindowController(
        PermissionAccess permissions, std::shared_ptr<platform::UserDefaults> defaults,
        MicInputSectionPresenter::DeviceSource inputDevices = MicInputSectionPresenter::defaultDeviceSource(),
        ProviderProbe providerProbe = ProviderProbe());
    ~OnboardingWindowController() override;

    // Called with true when the window is presented and false when it closes.
    std::function<void(bool)> onVisibilityChanged;
    // Called when the window has closed, in every way it can.
    std::function<void()> onDone;

    void present();

    StatusRow* micRow() const { return micRow_; }
    StatusRow* axRow() const { return axRow_; }
    QPushButton* primaryButton() const { return primaryButton_; }
    MicInputSection* micInputSection() const { return micInputSection_; }
    FormattingSection* formattingSection() const { return formattingSection_; }
    bool isPolling() const { return pollTimer_.isActive(); }

protected:
    // Return presses "Get Started", and only while it is enabled.
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void buildUI();
    void refreshUI();
    void startPolling();
    // Stops the permission poll and the formatting section's work.
    void stopPolling();
    void actOnMic();
    void actOnAccessibility();
    void finish();
    void resetPermissions();
    void markShown();

    PermissionAccess permissions_;
    std::shared_ptr<platform::UserDefaults> defaults_;
    StatusRow* micRow_;
    StatusRow* axRow_;
    MicInputSection* micInputSection_;
    FormattingSection* formattingSection_;
    QPushButton* primaryButton_;
    QTimer pollTimer_;
    // The microphone's state as the window last showed it.
    std::optional<MicrophoneAuthorization> shownMicrophone_;
};

}  // namespace dictaro
