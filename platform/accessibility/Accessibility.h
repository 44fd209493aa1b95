#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace platform::accessibility {

// Trusted here means what lets us read other programs' fields: the session's
// accessibility bus answers and toolkit accessibility is switched on. Read
// afresh on every call.
bool isProcessTrusted();

// Switches toolkit accessibility on for the session; false when the bus did
// not take it. Programs started afterwards expose their fields.
bool enableAccessibility();

// The texts of the focused element of the application with process `pid`.
struct FocusedElementText {
    std::optional<std::string> placeholder;  // the "placeholder-text" attribute
    std::optional<std::string> description;
    std::optional<std::string> title;        // the element's name
};

// Absent when the application exposes no focused element or cannot be
// asked. Safe to call from any thread; calls are carried out one at a time.
std::optional<FocusedElementText> focusedElement(pid_t pid);

}  // namespace platform::accessibility
