#pragma once

#include <memory>
#include <optional>
#include <string>

#include "app/dictation/AppIdentity.h"
#include "platform/x11/RunningApplication.h"

namespace platform::x11 {
class ActivationWatcher;
}

namespace dictaro {

// Remembers the last application other than this one that became active, so
// that the text goes where the user was before our panel came up. It never
// forgets: an application that has quit stays captured until another one is
// activated. Lives on the main actor; activations reach it there.
class FocusTracker {
public:
    explicit FocusTracker(std::optional<std::string> selfBundleID = std::string(applicationIdentifier));
    ~FocusTracker();
    FocusTracker(const FocusTracker&) = delete;
    FocusTracker& operator=(const FocusTracker&) = delete;

    const std::optional<platform::RunningApplication>& capturedApp() const;

private:
    struct State;
    std::shared_ptr<State> state_;
    std::unique_ptr<platform::x11::ActivationWatcher> watcher_;
};

}  // namespace dictaro
