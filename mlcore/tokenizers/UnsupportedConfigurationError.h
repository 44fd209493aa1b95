#pragma once

#include <stdexcept>
#include <string>

namespace celvan {

// A tokenizer file that names a component or setting this code cannot serve,
// or leaves out one it must have. Downloaded files must never stop the
// program, so this is thrown and reaches whoever loads the tokenizer.
class UnsupportedConfigurationError : public std::runtime_error {
public:
    explicit UnsupportedConfigurationError(const std::string& message) : std::runtime_error(message) {}
};

} // namespace celvan
