#pragma once

#include "mlcore/foundation/Config.h"
#include "mlcore/hub/HubWrapper.h"
#include "mlcore/tokenizers/Tokenizer.h"
#include "platform/foundation/URL.h"

#include <functional>
#include <map>
#include <memory>
#include <string>

namespace celvan {

// The pipeline classes a tokenizer configuration can name; every other name
// gets the plain pipeline.
class PreTrainedTokenizerClasses {
public:
    PreTrainedTokenizerClasses() = delete;

    using TokenizerClass =
        std::function<std::shared_ptr<const PreTrainedTokenizer>(const Config&, const Config&, bool strict)>;

    static const std::map<std::string, TokenizerClass>& tokenizerClasses();
};

// Loads a model's tokenizer files and builds the tokenizer they describe.
// Both loaders take the tokenizer configuration ("tokenizer_config.json",
// with a chat template file merged in and a missing class name taken from
// "config.json"'s model type) and the tokenizer data ("tokenizer.json").
// They throw Hub::HubClientError when "tokenizer.json" is missing, a file
// cannot be read or parsed or the hub fails, HubApi::EnvironmentError when
// offline without a usable cache, TokenizerError::missingConfig without a
// tokenizer configuration, and what building the tokenizer throws.
class AutoTokenizer {
public:
    AutoTokenizer() = delete;

    using TokenizerClass = PreTrainedTokenizerClasses::TokenizerClass;

    // From the hub repository of that name at revision "main": only the
    // configuration and tokenizer files are brought into the client's cache.
    // The pipeline class is the one the configuration names.
    static std::shared_ptr<const Tokenizer> fromPretrained(const std::string& pretrained, const HubApiWrapper& hubApi,
                                                           bool strict);

    // From a folder holding "tokenizer.json" and "tokenizer_config.json".
    // Always the plain pipeline, whatever class is named.
    static std::shared_ptr<const Tokenizer> fromModelFolder(const platform::URL& modelFolder,
                                                            const HubApiWrapper& hubApi, bool strict);

    // The pipeline class a configuration names ("Fast" removed), the plain
    // one for any name not in PreTrainedTokenizerClasses.
    static TokenizerClass tokenizerClass(const Config& tokenizerConfig);
};

} // namespace celvan
