#pragma once

#include "app/formatting/AccessibilityReader.h"

namespace dictaro {

// Other applications' focused fields, read over AT-SPI.
class AtspiAccessibilityReader final : public AccessibilityReader {
public:
    bool isProcessTrusted() const override;
    std::unique_ptr<FocusedElement> focusedElement(int processIdentifier) const override;
};

}  // namespace dictaro
