#pragma once

#include <functional>

#include "app/ui/SetupWindowPresenter.h"

namespace dictaro {

// The two permissions as the setup window and the start-up read and ask for
// them; tests hand in their own.
struct PermissionAccess {
    std::function<MicrophoneAuthorization()> microphone;
    std::function<bool()> accessibilityTrusted;
    // Asks for the microphone and answers on the main actor.
    std::function<void(std::function<void(bool granted)>)> requestMicrophone;
    std::function<void()> requestAccessibility;
    // False when no settings program could be opened.
    std::function<bool()> openMicrophoneSettings;
    // Starts the application afresh and quits; false when it could not start.
    std::function<bool()> relaunch;

    bool bothGranted() const { return microphone() == MicrophoneAuthorization::authorized && accessibilityTrusted(); }

    static PermissionAccess system();
};

}  // namespace dictaro
