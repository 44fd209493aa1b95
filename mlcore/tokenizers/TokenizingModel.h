#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace celvan {

// A token model: turns one pre-tokenized piece of text into vocabulary tokens
// and maps tokens to ids and back. Built once from the tokenizer files, then
// only read, so one model serves any number of threads.
class TokenizingModel {
public:
    virtual ~TokenizingModel() = default;

    virtual std::vector<std::string> tokenize(const std::string& text) const = 0;
    std::vector<std::string> operator()(const std::string& text) const { return tokenize(text); }

    virtual std::optional<int64_t> convertTokenToId(const std::string& token) const = 0;
    virtual std::optional<std::string> convertIdToToken(int64_t id) const = 0;

    virtual std::optional<std::string> bosToken() const = 0;
    virtual std::optional<int64_t> bosTokenId() const = 0;
    virtual std::optional<std::string> eosToken() const = 0;
    virtual std::optional<int64_t> eosTokenId() const = 0;
    virtual std::optional<std::string> unknownToken() const = 0;
    virtual std::optional<int64_t> unknownTokenId() const = 0;

    // Whether the pipeline keeps only the first of each run of unknown tokens.
    virtual bool fuseUnknownTokens() const = 0;
};

// A token model built from the two tokenizer files. Every such model has the
// constructor
//   Model(const Config& tokenizerConfig, const Config& tokenizerData,
//         const std::unordered_map<std::string, int64_t>& addedTokens)
// which throws TokenizerError when the files cannot make a model; the model
// selection constructs whichever class its table names through it.
class PreTrainedTokenizerModel : public TokenizingModel {};

} // namespace celvan
