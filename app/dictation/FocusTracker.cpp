#include "app/dictation/FocusTracker.h"

#include "platform/concurrency/MainActor.h"
#include "platform/x11/Workspace.h"

namespace dictaro {

struct FocusTracker::State {
    std::optional<std::string> selfBundleID;
    std::optional<platform::RunningApplication> captured;

    void consider(std::optional<platform::RunningApplication> application) {
        if (!application || application->bundleIdentifier == selfBundleID) return;
        captured = std::move(application);
    }
};

FocusTracker::FocusTracker(std::optional<std::string> selfBundleID) : state_(std::make_shared<State>()) {
    state_->selfBundleID = std::move(selfBundleID);
    try {
        state_->consider(platform::x11::Workspace().frontmostApplication());
        watcher_ = std::make_unique<platform::x11::ActivationWatcher>(
            [state = std::weak_ptr<State>(state_)](std::optional<platform::RunningApplication> application) {
                platform::MainActor::post([state, application = std::move(application)]() mutable {
                    if (auto alive = state.lock()) alive->consider(std::move(application));
                });
            });
    } catch (const platform::x11::X11Error&) {
        // Without an X display nothing is ever captured and pasting reports
        // that there is no target.
    }
}

FocusTracker::~FocusTracker() = default;

const std::optional<platform::RunningApplication>& FocusTracker::capturedApp() const {
    return state_->captured;
}

}  // namespace dictaro
