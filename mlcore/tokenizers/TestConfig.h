#pragma once

#include "mlcore/foundation/Config.h"
#include "mlcore/foundation/JSONSerializationBOM.h"

#include <string_view>

namespace celvan {

// A component configuration written as JSON, read the way tokenizer files are.
inline Config testConfig(std::string_view json) {
    return Config::convertToBinaryDistinctKeys(bomPreservingJsonObject(json, {.fragmentsAllowed = true}));
}

} // namespace celvan
