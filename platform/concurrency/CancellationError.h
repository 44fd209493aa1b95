#pragma once

#include <exception>

namespace platform {

// Thrown when a task stops because it was cancelled. It derives from
// std::exception alone so that handlers for the modules' own errors (all
// std::runtime_error) never mistake a cancellation for a failure.
class CancellationError : public std::exception {
public:
    const char* what() const noexcept override { return "The operation was cancelled."; }
};

}  // namespace platform
