#include "app/ui/PermissionAccess.h"

#include <QApplication>
#include <sstream>

#include "app/dictation/PermissionStatus.h"
#include "platform/concurrency/MainActor.h"
#include "platform/process/ChildProcess.h"

namespace dictaro {
namespace {

// Granted when the sound server answers and offers a source that is not the
// monitor of an output: there is nothing else to ask for on this desktop.
MicrophoneAuthorization soundServerMicrophone() {
    const auto sources = platform::ChildProcess::output({"pactl", "list", "short", "sources"});
    if (!sources) return MicrophoneAuthorization::denied;
    std::istringstream lines(*sources);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string index;
        std::string name;
        fields >> index >> name;
        if (!name.empty() && !name.ends_with(".monitor")) return MicrophoneAuthorization::authorized;
    }
    return MicrophoneAuthorization::denied;
}

}  // namespace

PermissionAccess PermissionAccess::system() {
    PermissionAccess access;
    access.microphone = soundServerMicrophone;
    access.accessibilityTrusted = PermissionStatus::accessibilityTrusted;
    access.requestMicrophone = [](std::function<void(bool)> completion) {
        platform::MainActor::post([completion = std::move(completion)] {
            completion(soundServerMicrophone() == MicrophoneAuthorization::authorized);
        });
    };
    access.requestAccessibility = PermissionStatus::requestAccessibility;
    access.openMicrophoneSettings = PermissionStatus::openMicrophoneSettings;
    access.relaunch = [] { return PermissionStatus::relaunch([] { QApplication::quit(); }); };
    return access;
}

}  // namespace dictaro
