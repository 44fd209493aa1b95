#pragma once

#include <stdexcept>
#include <string>

namespace platform::audio {

// A file that cannot be opened or decoded; what() says why.
class AudioFileError : public std::runtime_error {
public:
    explicit AudioFileError(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace platform::audio
