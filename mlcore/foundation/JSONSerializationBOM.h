#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/foundation/JsonReader.h"
#include "platform/foundation/JsonValue.h"

namespace celvan {

// Parses a configuration or tokenizer file so that a string value that begins
// with the byte-order mark U+FEFF still begins with it, byte for byte; some
// tokenizer vocabularies hold exactly such tokens. A mark at the very start of
// the document is not part of any value and is skipped. Malformed input
// throws the reader's platform::JSONReadError unchanged.
platform::JSONValue bomPreservingJsonObject(const std::vector<uint8_t>& data,
                                            platform::JSONReadingOptions options = {});
platform::JSONValue bomPreservingJsonObject(std::string_view data,
                                            platform::JSONReadingOptions options = {});

}  // namespace celvan
