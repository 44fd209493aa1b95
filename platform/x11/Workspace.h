#pragma once

#include <chrono>
#include <functional>
#include <optional>

#include "platform/x11/RunningApplication.h"
#include "platform/x11/X11Connection.h"

namespace platform::x11 {

// The window manager's view of the desktop through EWMH: which window is
// active, whose it is, and asking for another one to be activated.
class Workspace {
public:
    // Throws X11Error when the display cannot be opened.
    Workspace();

    std::optional<RunningApplication> frontmostApplication();
    std::optional<RunningApplication> describe(WindowId window);

    // The window still exists and, when its process is known, so does that.
    bool isRunning(const RunningApplication& application);

    // Asks the window manager to activate the application's window and waits
    // until the root names it as the active window; false when that did not
    // happen within `timeout`.
    bool activate(const RunningApplication& application, std::chrono::milliseconds timeout);

private:
    X11Connection connection_;
};

// Tells `onActivate` (on its own reader thread) about every change of the
// active window, with the application behind it, or nothing when no window
// is active or it cannot be described.
class ActivationWatcher {
public:
    explicit ActivationWatcher(std::function<void(std::optional<RunningApplication>)> onActivate);

private:
    std::function<void(std::optional<RunningApplication>)> onActivate_;
    X11Connection connection_;
};

// The application behind `window`, read over `display`.
std::optional<RunningApplication> describeWindow(Display* display, WindowId window);
std::optional<WindowId> activeWindow(Display* display);

}  // namespace platform::x11
