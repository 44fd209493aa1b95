#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace dictaro {

// The element that has the keyboard focus inside another application.
class FocusedElement {
public:
    virtual ~FocusedElement() = default;
    // The text of one of its attributes ("AXPlaceholderValue",
    // "AXDescription", "AXTitle"); none when it cannot be read or is not text.
    virtual std::optional<std::string> stringAttribute(std::string_view name) const = 0;
};

// What the desktop's accessibility interface tells about other applications.
// The application supplies the AT-SPI implementation.
class AccessibilityReader {
public:
    virtual ~AccessibilityReader() = default;
    // Whether this process may read other applications' elements at all.
    virtual bool isProcessTrusted() const = 0;
    // The focused element of the application with that process id, or none.
    virtual std::unique_ptr<FocusedElement> focusedElement(int processIdentifier) const = 0;
};

}  // namespace dictaro
