#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "platform/x11/X11Connection.h"

namespace platform {

// An application as the desktop shows it: the top-level window it was seen
// through, its process and its identity.
struct RunningApplication {
    // The application id: GTK's, else the desktop file's name, else the
    // class part of WM_CLASS.
    std::optional<std::string> bundleIdentifier;
    // The desktop file's Name, else the class part of WM_CLASS.
    std::optional<std::string> localizedName;
    pid_t processIdentifier = 0;  // 0 when the window does not say
    x11::WindowId window = 0;

    bool operator==(const RunningApplication&) const = default;
};

}  // namespace platform
