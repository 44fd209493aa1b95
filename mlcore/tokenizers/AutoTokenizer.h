#pragma once

#include "mlcore/foundation/Config.h"
#include "mlcore/tokenizers/Tokenizer.h"

#include <filesystem>
#include <functional>
#include <memory>

namespace celvan {

// Loads a model's tokenizer files and builds the tokenizer they describe.
class AutoTokenizer {
public:
    AutoTokenizer() = delete;

    using TokenizerClass =
        std::function<std::shared_ptr<const PreTrainedTokenizer>(const Config&, const Config&, bool strict)>;

    // From a folder holding "tokenizer.json" and, usually,
    // "tokenizer_config.json" (whose missing class name "config.json"'s model
    // type fills in). Always the plain pipeline, whatever class is named.
    // Throws Hub::HubClientError when "tokenizer.json" is missing or a file
    // cannot be read or parsed, TokenizerError::missingConfig without a
    // tokenizer configuration, and what building the tokenizer throws.
    static std::shared_ptr<const Tokenizer> fromModelFolder(const std::filesystem::path& modelFolder, bool strict);

    // The pipeline class a configuration names ("Fast" removed): Llama's own
    // for "LlamaTokenizer", the plain one for anything else.
    static TokenizerClass tokenizerClass(const Config& tokenizerConfig);
};

} // namespace celvan
