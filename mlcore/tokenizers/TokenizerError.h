#pragma once

#include <stdexcept>
#include <string>

namespace celvan {

// The tokenizers' own failure: a tokenizer that cannot be built from the
// files it was given.
class TokenizerError : public std::runtime_error {
public:
    enum class Kind {
        unsupportedTokenizer,
        tooLong,
        mismatchedConfig,
        missingConfig,
        missingTokenizerClassInConfig,
        missingVocab,
        malformedVocab,
    };

    static TokenizerError unsupportedTokenizer(const std::string& className) {
        return {Kind::unsupportedTokenizer, className, "The tokenizer type '" + className + "' is not supported."};
    }
    static TokenizerError tooLong(const std::string& text) {
        return {Kind::tooLong, text, "Input is too long: " + text};
    }
    static TokenizerError mismatchedConfig(const std::string& text) {
        return {Kind::mismatchedConfig, text, "Tokenizer configuration mismatch: " + text};
    }
    static TokenizerError missingConfig() {
        return {Kind::missingConfig, {}, "Tokenizer configuration is missing."};
    }
    static TokenizerError missingTokenizerClassInConfig() {
        return {Kind::missingTokenizerClassInConfig, {}, "The tokenizer class is not specified in the configuration."};
    }
    static TokenizerError missingVocab() {
        return {Kind::missingVocab, {}, "Vocabulary file is missing from the tokenizer configuration."};
    }
    static TokenizerError malformedVocab() {
        return {Kind::malformedVocab, {}, "The vocabulary file is malformed or corrupted."};
    }

    Kind kind() const noexcept { return kind_; }
    // The class name or text the case carries; empty for the cases without one.
    const std::string& payload() const noexcept { return payload_; }

private:
    TokenizerError(Kind kind, std::string payload, const std::string& message)
        : std::runtime_error(message), kind_(kind), payload_(std::move(payload)) {}

    Kind kind_;
    std::string payload_;
};

} // namespace celvan
