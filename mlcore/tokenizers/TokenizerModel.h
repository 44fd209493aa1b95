#pragma once

#include "mlcore/foundation/Config.h"
#include "mlcore/tokenizers/TokenizingModel.h"
#include "mlcore/tokenizers/Vocabulary.h"

#include <memory>
#include <optional>
#include <string>

namespace celvan {

// Picks and builds the token model that a tokenizer configuration's class
// name stands for, or, for a class name outside the table or one that fits
// any model, the model that the tokenizer data's "model" "type" names.
class TokenizerModel {
public:
    TokenizerModel() = delete;

    // Throws TokenizerError: missingTokenizerClassInConfig without a class
    // name, unsupportedTokenizer when strict and neither the table nor the
    // model type knows the model, and whatever the model's own construction
    // throws. Not strict, such a tokenizer prints a warning and builds a BPE
    // model.
    static std::shared_ptr<const TokenizingModel> from(const Config& tokenizerConfig, const Config& tokenizerData,
                                                       const AddedTokenIds& addedTokens, bool strict);

    // The configuration's "unkToken": an object's string "content", or a
    // plain string.
    static std::optional<std::string> unknownToken(const Config& tokenizerConfig);
};

// A token setting given either as the text itself or as an object whose
// "content" is the text.
std::optional<std::string> addedTokenAsString(const Config* value);

// The class name without any "Fast" in it, wherever it occurs.
std::string removingFast(std::string className);

} // namespace celvan
