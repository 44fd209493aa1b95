#include "app/dictation/Paster.h"

#include <set>
#include <string>

#include "app/dictation/AppIdentity.h"
#include "app/formatting/ContextProbe.h"
#include "platform/clipboard/Pasteboard.h"
#include "platform/log/SystemLog.h"
#include "platform/text/UnicodeProperties.h"
#include "platform/x11/SyntheticKeys.h"
#include "platform/x11/Workspace.h"

namespace dictaro {
namespace {

constexpr std::string_view inClipboard = " — your transcript is in the clipboard.";

std::string nameOr(const platform::RunningApplication& target, std::string_view fallback) {
    return target.localizedName ? *target.localizedName : std::string(fallback);
}

}  // namespace

bool Paster::isDenied(const std::optional<std::string>& bundleIdentifier) {
    static const std::set<std::string, std::less<>> denied = {
        // The system settings, the password and authorisation prompts, the
        // login window, and ourselves, as the Mac names them...
        "com.apple.systempreferences",
        "com.apple.SecurityAgent",
        "com.apple.loginwindow",
        std::string(applicationIdentifier),
        // ...and as this desktop's settings programs, polkit agents and screen
        // lockers name themselves.
        "gnome-control-center",
        "Gnome-control-center",
        "org.gnome.Settings",
        "org.gnome.ControlCenter",
        "systemsettings",
        "org.kde.systemsettings",
        "polkit-gnome-authentication-agent-1",
        "Polkit-gnome-authentication-agent-1",
        "org.kde.polkit-kde-authentication-agent-1",
        "polkit-kde-authentication-agent-1",
        "lxpolkit",
        "Lxpolkit",
        "xfce-polkit",
        "mate-polkit",
        "xscreensaver",
        "XScreenSaver",
        "light-locker",
        "Light-locker",
        "i3lock",
        "xsecurelock",
        "gnome-screensaver",
        "xfce4-screensaver",
        "mate-screensaver",
    };
    return bundleIdentifier && denied.contains(*bundleIdentifier);
}

Paster::Paster(PasteDesktop desktop) : desktop_(std::move(desktop)) {}

PasteOutcome Paster::paste(std::string_view text, const std::optional<platform::RunningApplication>& target) {
    const std::string transcript(platform::text::trimmingWhitespacesAndNewlines(text));
    if (transcript.empty()) return PasteOutcome::emptyText();
    auto& pasteboard = desktop_.pasteboard;
    // Whenever the text cannot be typed in, it is left where the user can
    // still paste it by hand.
    if (!target) {
        pasteboard.setString(transcript);
        return PasteOutcome::noTarget();
    }
    if (!desktop_.accessibilityTrusted()) {
        pasteboard.setString(transcript);
        return PasteOutcome::accessibilityMissing();
    }
    if (isDenied(target->bundleIdentifier)) {
        pasteboard.setString(transcript);
        return PasteOutcome::copiedOnly(nameOr(*target, "this app") + " doesn't accept pasted text" +
                                        std::string(inClipboard));
    }
    return typeInto(transcript, *target);
}

PasteOutcome Paster::typeInto(const std::string& transcript, const platform::RunningApplication& target) {
    auto& pasteboard = desktop_.pasteboard;
    // Whenever the paste does not go through, the text is left on the
    // clipboard for everyone, the user to paste by hand.
    const auto leaveInClipboard = [&](std::string message) {
        pasteboard.setString(transcript);
        return PasteOutcome::copiedOnly(std::move(message) + std::string(inClipboard));
    };
    constexpr std::string_view quitting = "Dictaro quit before pasting";
    if (closed_) return leaveInClipboard(std::string(quitting));
    const platform::clipboard::PasteboardSnapshot previous = pasteboard.snapshot();
    // Only the target may read the transcript: a clipboard manager reads each
    // new clipboard at once, and its read would pass for the target's.
    pasteboard.setStringFor(transcript, target.window);
    // An application that quit, or a window that will not come forward,
    // would send the keystroke somewhere else.
    if (!desktop_.workspace.isRunning(target) || !desktop_.workspace.activate(target, activationTimeout)) {
        return leaveInClipboard(nameOr(target, "The app") + " couldn't be brought to the front");
    }
    pasteboard.keepServing(settleBeforeKeystroke);
    const bool terminal = ContextProbe::kind(target.bundleIdentifier) == ContextProfile::Kind::terminal;
    if (closed_) return leaveInClipboard(std::string(quitting));
    // A read before the keystroke is not the paste's.
    pasteboard.watchForFetch();
    if (!desktop_.keys.pasteChord(terminal)) {
        static const platform::log::Logger systemLog("com.pelmaroven.dictaro", "Paster");
        systemLog.log(platform::log::LogType::defaultType, "Paster: failed to send the paste keystroke");
        return leaveInClipboard("The paste keystroke couldn't be sent");
    }
    // Putting the old contents back before the target has read the
    // clipboard would paste those instead, and they may be a password.
    if (!pasteboard.waitUntilFetched(fetchTimeout)) {
        return leaveInClipboard(nameOr(target, "The app") + " didn't take the pasted text");
    }
    // A target may ask for several formats in turn; let it finish.
    pasteboard.keepServing(afterFetch);
    pasteboard.restore(previous);
    return PasteOutcome::pasted(nameOr(target, "the app"));
}

}  // namespace dictaro
