#include "mlcore/foundation/JSONSerializationBOM.h"

namespace celvan {

// Our reader keeps string bytes exactly as written, so no rewriting of the
// input is needed for the marks to survive.
platform::JSONValue bomPreservingJsonObject(const std::vector<uint8_t>& data,
                                            platform::JSONReadingOptions options) {
    return platform::jsonObject(data, options);
}

platform::JSONValue bomPreservingJsonObject(std::string_view data,
                                            platform::JSONReadingOptions options) {
    return platform::jsonObject(data, options);
}

}  // namespace celvan
