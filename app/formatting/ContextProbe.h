#pragma once

#include <memory>
#include <optional>
#include <string>

#include "app/formatting/AccessibilityReader.h"
#include "app/formatting/ContextProfile.h"
#include "app/formatting/RunningApplication.h"

namespace dictaro {

// Tells what kind of place the receiving application is, and reads a hint
// about its focused text field.
class ContextProbe {
public:
    explicit ContextProbe(std::shared_ptr<const AccessibilityReader> accessibility);

    ContextProfile detect(const std::optional<RunningApplication>& app) const;

    static ContextProfile::Kind kind(const std::optional<std::string>& bundleID);

private:
    std::optional<std::string> fieldHint(const std::optional<RunningApplication>& app) const;

    std::shared_ptr<const AccessibilityReader> accessibility_;
};

}  // namespace dictaro
