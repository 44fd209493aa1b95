#pragma once

#include "mlcore/hub/HubWrapper.h"
#include "mlcore/tokenizers/TokenizerWrapper.h"
#include "platform/foundation/URL.h"

#include <string>

namespace celvan {

// The speech engine's way of loading a tokenizer. Both throw what the
// AutoTokenizer loader of the same name throws, unchanged.
class AutoTokenizerWrapper {
public:
    AutoTokenizerWrapper() = delete;

    static TokenizerWrapper fromPretrained(const std::string& pretrained, const HubApiWrapper& hubApi, bool strict);
    static TokenizerWrapper fromModelFolder(const platform::URL& modelFolder, const HubApiWrapper& hubApi,
                                            bool strict);
};

} // namespace celvan
