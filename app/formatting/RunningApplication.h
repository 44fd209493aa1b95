#pragma once

#include <optional>
#include <string>

namespace dictaro {

// An application on the desktop, as the focus tracker captured it.
struct RunningApplication {
    // The application id: the GTK application id, the desktop file's name,
    // or the class part of WM_CLASS, whichever the window offers first.
    std::optional<std::string> bundleIdentifier;
    std::optional<std::string> localizedName;
    int processIdentifier = 0;
};

}  // namespace dictaro
