#pragma once

#include <optional>
#include <string>

#include "app/formatting/ContextProfile.h"

namespace dictaro {

// The application a dictation will be pasted into, as the panel shows it.
struct PasteTarget {
    std::string appName;
    ContextProfile::Kind kind = ContextProfile::Kind::generic;
    std::optional<std::string> fieldHint;

    friend bool operator==(const PasteTarget&, const PasteTarget&) = default;

    // The profile's application, or "the focused app" when it has no name.
    static PasteTarget from(const ContextProfile& profile) {
        return PasteTarget{profile.appName.value_or("the focused app"), profile.kind, profile.fieldHint};
    }
};

}  // namespace dictaro
