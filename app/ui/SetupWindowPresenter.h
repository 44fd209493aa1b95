#pragma once

#include <optional>
#include <string>

namespace dictaro {

// Where the microphone permission stands. On this desktop "authorized" means
// the sound server takes a connection and offers an input source.
enum class MicrophoneAuthorization { notDetermined, restricted, denied, authorized };

// One permission row of the setup window, decided without the toolkit.
struct PermissionRowState {
    enum class BadgeColour { green, orange };

    std::string badge;
    BadgeColour badgeColour = BadgeColour::orange;
    // The action button's title; none hides the button.
    std::optional<std::string> actionTitle;

    friend bool operator==(const PermissionRowState&, const PermissionRowState&) = default;
};

struct SetupWindowState {
    PermissionRowState microphone;
    PermissionRowState accessibility;
    bool primaryEnabled = false;
    std::string primaryTitle;

    friend bool operator==(const SetupWindowState&, const SetupWindowState&) = default;
};

// What the microphone row's button does in each state.
enum class MicrophoneAction { none, request, openSettings };

class SetupWindowPresenter {
public:
    static SetupWindowState state(MicrophoneAuthorization microphone, bool accessibilityTrusted);
    static MicrophoneAction microphoneAction(MicrophoneAuthorization microphone);

    static std::string windowTitle();
    static std::string heading();
    static std::string introduction();
    static std::string microphoneTitle();
    static std::string microphoneSubtitle();
    static std::string accessibilityTitle();
    static std::string accessibilitySubtitle();
    static std::string repairLink();
    static std::string resetQuestion();
    static std::string resetExplanation();
    static std::string resetConfirm();
    static std::string resetCancel();
    // Shown in the microphone row when no sound settings program is installed.
    static std::string noMicrophoneSettings();
};

}  // namespace dictaro
