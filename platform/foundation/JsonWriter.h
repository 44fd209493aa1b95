#pragma once

#include <cstdint>
#include <stdexcept>
#include <vector>

#include "platform/foundation/JsonValue.h"

namespace platform {

// Raised for a value that has no JSON form: a NaN or infinite number, or a
// string that is not well-formed UTF-8.
class JSONWriteError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Writes compact JSON text (UTF-8, no whitespace) with object members in the
// order the value holds them. Numbers print in their shortest round-trip form
// for the precision they are stored in, so a single-precision 0.1 prints as 0.1.
std::vector<uint8_t> jsonData(const JSONValue& value);

}  // namespace platform
