#pragma once

#include <optional>
#include <string>

namespace platform {

// How a session behaves. A background configuration carries an identifier
// and otherwise transfers exactly like the default one: on this platform no
// system daemon carries transfers on after the process ends.
struct URLSessionConfiguration {
    static URLSessionConfiguration defaultConfiguration() { return {}; }
    static URLSessionConfiguration background(std::string identifier) {
        URLSessionConfiguration configuration;
        configuration.identifier = std::move(identifier);
        return configuration;
    }

    bool isBackground() const noexcept { return identifier.has_value(); }

    std::optional<std::string> identifier;
    // Redirects a request may follow before it fails with httpTooManyRedirects.
    int httpMaximumRedirects = 16;
};

}  // namespace platform
