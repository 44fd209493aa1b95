#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/JsonValue.h"

namespace platform {

struct JSONReadingOptions {
    // Accept a document whose top level is not an object or an array.
    bool fragmentsAllowed = false;
};

// Raised for bytes that are not one well-formed JSON document.
class JSONReadError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Deeper documents are refused rather than risking the stack of whoever walks
// the tree afterwards.
inline constexpr std::size_t kJSONMaximumNesting = 512;

// Parses one JSON document. String values keep their bytes exactly, a leading
// U+FEFF included; a byte-order mark at the very start of the document is
// skipped. Strings must be well-formed UTF-8.
JSONValue jsonObject(std::string_view data, JSONReadingOptions options = {});
JSONValue jsonObject(const std::vector<uint8_t>& data, JSONReadingOptions options = {});

}  // namespace platform
