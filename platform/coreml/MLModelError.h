#pragma once

#include <stdexcept>
#include <string>

namespace platform {

// The model framework's failure: creating arrays, loading models and running
// predictions. Raw values of the kinds are the platform's error codes.
class MLModelError : public std::runtime_error {
public:
    enum class Kind { generic = 0, featureType = 1, io = 3 };

    MLModelError(Kind kind, const std::string& message)
        : std::runtime_error(message), kind_(kind) {}

    Kind kind() const noexcept { return kind_; }

private:
    Kind kind_;
};

}  // namespace platform
