#pragma once

#include <stdexcept>
#include <string>

namespace celvan {

// The core module's own failure. Its only case carries the message that the
// caller wants the user to see, unchanged.
class CelvanCoreError : public std::runtime_error {
public:
    enum class Kind { invalidConfiguration };

    static CelvanCoreError invalidConfiguration(const std::string& message) {
        return CelvanCoreError(Kind::invalidConfiguration, message);
    }

    Kind kind() const noexcept { return kind_; }
    const std::string& message() const noexcept { return message_; }

private:
    CelvanCoreError(Kind kind, const std::string& message)
        : std::runtime_error(message), kind_(kind), message_(message) {}

    Kind kind_;
    std::string message_;
};

}  // namespace celvan
