#include "app/ui/SetupWindowPresenter.h"

#include "app/ui/DesktopWording.h"

namespace dictaro {
namespace {

PermissionRowState granted() { return {"✓ Granted", PermissionRowState::BadgeColour::green, std::nullopt}; }

PermissionRowState required(std::string actionTitle) {
    return {"Required", PermissionRowState::BadgeColour::orange, std::move(actionTitle)};
}

}  // namespace

SetupWindowState SetupWindowPresenter::state(MicrophoneAuthorization microphone, bool accessibilityTrusted) {
    SetupWindowState state;
    switch (microphoneAction(microphone)) {
        case MicrophoneAction::none: state.microphone = granted(); break;
        case MicrophoneAction::request: state.microphone = required("Grant Access"); break;
        case MicrophoneAction::openSettings: state.microphone = required("Open Settings"); break;
    }
    state.accessibility = accessibilityTrusted ? granted() : required("Grant Access");
    state.primaryEnabled = microphone == MicrophoneAuthorization::authorized && accessibilityTrusted;
    state.primaryTitle = state.primaryEnabled ? "Get Started" : "Waiting…";
    return state;
}

MicrophoneAction SetupWindowPresenter::microphoneAction(MicrophoneAuthorization microphone) {
    switch (microphone) {
        case MicrophoneAuthorization::authorized: return MicrophoneAction::none;
        case MicrophoneAuthorization::notDetermined: return MicrophoneAction::request;
        case MicrophoneAuthorization::restricted:
        case MicrophoneAuthorization::denied: return MicrophoneAction::openSettings;
    }
    return MicrophoneAction::openSettings;
}

std::string SetupWindowPresenter::windowTitle() { return "Dictaro Setup"; }
std::string SetupWindowPresenter::heading() { return "Welcome to Dictaro"; }

std::string SetupWindowPresenter::introduction() {
    return "Press " + std::string(wording::hotkey) + " anywhere on " + std::string(wording::system) +
           " to dictate into the focused text field. A few one-time setup steps to get you going.";
}

std::string SetupWindowPresenter::microphoneTitle() { return "Microphone"; }
std::string SetupWindowPresenter::microphoneSubtitle() {
    return "Dictaro listens to you so it can transcribe what you say.";
}
std::string SetupWindowPresenter::accessibilityTitle() { return "Accessibility"; }
std::string SetupWindowPresenter::accessibilitySubtitle() {
    return "Lets Dictaro paste your dictated text into other apps.";
}
std::string SetupWindowPresenter::repairLink() { return "Permissions stuck? Reset and relaunch."; }
std::string SetupWindowPresenter::resetQuestion() { return "Reset Dictaro's permissions?"; }

std::string SetupWindowPresenter::resetExplanation() {
    return "This clears Dictaro's " + std::string(wording::system) +
           " Microphone and Accessibility permissions, then relaunches the app so you can grant them fresh.\n\n"
           "Useful when an earlier build's stale entry in " +
           std::string(wording::systemSettings) + " is blocking the current build from being granted permission.";
}

std::string SetupWindowPresenter::resetConfirm() { return "Reset & Relaunch"; }
std::string SetupWindowPresenter::resetCancel() { return "Cancel"; }

std::string SetupWindowPresenter::noMicrophoneSettings() {
    return "No sound settings program is installed: start the sound server and connect a microphone; this row "
           "updates by itself.";
}

}  // namespace dictaro
