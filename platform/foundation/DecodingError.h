#pragma once

#include <stdexcept>
#include <string>

namespace platform {

// A value that does not have the shape its type decodes from: a missing key,
// a value of another kind, or one that none of the type's values has.
class DecodingError : public std::runtime_error {
public:
    enum class Kind { keyNotFound, typeMismatch, dataCorrupted };

    DecodingError(Kind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}

    Kind kind() const noexcept { return kind_; }

private:
    Kind kind_;
};

}  // namespace platform
