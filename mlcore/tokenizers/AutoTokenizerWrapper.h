#pragma once

#include "mlcore/tokenizers/TokenizerWrapper.h"

#include <filesystem>

namespace celvan {

// The speech engine's way of loading a tokenizer.
class AutoTokenizerWrapper {
public:
    AutoTokenizerWrapper() = delete;

    // Throws what AutoTokenizer::fromModelFolder throws.
    static TokenizerWrapper fromModelFolder(const std::filesystem::path& modelFolder, bool strict);
};

} // namespace celvan
