#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <string_view>

#include "app/dictation/PasteOutcome.h"
#include "platform/x11/RunningApplication.h"

namespace platform::clipboard {
class Pasteboard;
}
namespace platform::x11 {
class SyntheticKeys;
class Workspace;
}  // namespace platform::x11

namespace dictaro {

// The desktop facilities a paste goes through.
struct PasteDesktop {
    platform::clipboard::Pasteboard& pasteboard;
    platform::x11::Workspace& workspace;
    platform::x11::SyntheticKeys& keys;
    std::function<bool()> accessibilityTrusted;
};

// Puts a finished transcript into the application that was in front: on the
// clipboard, the target brought forward, the paste chord typed (Ctrl+V, or
// Ctrl+Shift+V into a terminal), and the
// user's own clipboard put back once the target has taken the text: a read
// after the chord by the target's own X client, not a clipboard manager's.
// Whenever the text may not have arrived, it stays on the clipboard and the
// outcome says so.
//
// paste() blocks for up to about two seconds. Best called away from the
// toolkit's thread; on it, the waits for the target keep the event loop
// answering clipboard requests.
class Paster {
public:
    static constexpr std::chrono::milliseconds activationTimeout{500};
    static constexpr std::chrono::milliseconds settleBeforeKeystroke{80};
    static constexpr std::chrono::milliseconds fetchTimeout{1500};
    static constexpr std::chrono::milliseconds afterFetch{50};

    explicit Paster(PasteDesktop desktop);

    PasteOutcome paste(std::string_view text, const std::optional<platform::RunningApplication>& target);

    // For a quit: a paste under way sends no keystroke any more, and a later
    // one sends none at all; each leaves its text on the clipboard as far as
    // the clipboard still takes it.
    void close() { closed_.store(true); }

    // Applications that are never sent synthetic keys.
    static bool isDenied(const std::optional<std::string>& bundleIdentifier);

private:
    PasteOutcome typeInto(const std::string& transcript, const platform::RunningApplication& target);

    PasteDesktop desktop_;
    std::atomic<bool> closed_{false};
};

}  // namespace dictaro
