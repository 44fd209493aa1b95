#include "app/ui/PermissionAccess.h"

#include <QApplication>

#include "app/dictation/PermissionStatus.h"

namespace dictaro {

PermissionAccess PermissionAccess::system() {
    PermissionAccess access;
    access.microphone = [] {
        return PermissionStatus::microphoneAuthorized() ? MicrophoneAuthorization::authorized
                                                        : MicrophoneAuthorization::denied;
    };
    access.accessibilityTrusted = PermissionStatus::accessibilityTrusted;
    access.requestMicrophone = PermissionStatus::requestMicrophone;
    access.requestAccessibility = PermissionStatus::requestAccessibility;
    access.openMicrophoneSettings = PermissionStatus::openMicrophoneSettings;
    access.relaunch = [] { return PermissionStatus::relaunch([] { QApplication::quit(); }); };
    return access;
}

}  // namespace dictaro
