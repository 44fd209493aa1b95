#pragma once

#include <functional>
#include <string>
#include <vector>

namespace dictaro {

// The permissions the application needs of the desktop: to record, to read
// the focused field and to type into other programs, and the way back into a
// fresh process once they were granted.
class PermissionStatus {
public:
    // Recording is allowed when the sound server takes a connection and
    // offers an input source: there is nothing else to ask for here.
    static bool microphoneAuthorized();
    // Asks for recording and answers on the main actor.
    static void requestMicrophone(std::function<void(bool granted)> completion);

    static bool accessibilityTrusted();

    // Switches toolkit accessibility on for the session and opens the
    // desktop's accessibility settings where a settings program is found.
    static void requestAccessibility();

    // Opens the desktop's sound settings; false when no settings program is
    // installed, so the caller can explain instead.
    static bool openMicrophoneSettings();

    // Starts this program again with the same arguments, a second later (the
    // hot key is ours until this process is gone), and calls `quit` only
    // once that start succeeded: a failed start leaves the application up.
    static bool relaunch(const std::function<void()>& quit);

    // The command relaunch() runs: a shell that waits, then runs `executable`
    // with `arguments`, all passed as arguments of the shell, never as part
    // of its command text.
    static std::vector<std::string> relaunchCommand(const std::string& executable,
                                                    const std::vector<std::string>& arguments);
};

}  // namespace dictaro
