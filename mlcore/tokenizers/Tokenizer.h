#pragma once

#include "mlcore/foundation/Config.h"
#include "mlcore/tokenizers/AddedTokenSplitter.h"
#include "mlcore/tokenizers/Decoder.h"
#include "mlcore/tokenizers/Normalizer.h"
#include "mlcore/tokenizers/PostProcessor.h"
#include "mlcore/tokenizers/PreTokenizer.h"
#include "mlcore/tokenizers/TokenizingModel.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace celvan {

// Text to token ids and back. Tokenizers are immutable once built and serve
// any number of threads. Encoding fails only when a pattern of the file
// backtracks beyond its budget on the given text (platform::text::Regex::Error);
// ids that no token has decode to nothing.
class Tokenizer {
public:
    virtual ~Tokenizer() = default;

    virtual std::vector<std::string> tokenize(const std::string& text) const = 0;
    std::vector<int64_t> encode(const std::string& text) const { return encode(text, true); }
    virtual std::vector<int64_t> encode(const std::string& text, bool addSpecialTokens) const = 0;
    std::string decode(const std::vector<int64_t>& tokens) const { return decode(tokens, false); }
    virtual std::string decode(const std::vector<int64_t>& tokens, bool skipSpecialTokens) const = 0;

    virtual std::optional<int64_t> convertTokenToId(const std::string& token) const = 0;
    std::vector<std::optional<int64_t>> convertTokensToIds(const std::vector<std::string>& tokens) const;
    virtual std::optional<std::string> convertIdToToken(int64_t id) const = 0;
    std::vector<std::optional<std::string>> convertIdsToTokens(const std::vector<int64_t>& ids) const;

    virtual std::optional<std::string> bosToken() const = 0;
    virtual std::optional<int64_t> bosTokenId() const = 0;
    virtual std::optional<std::string> eosToken() const = 0;
    virtual std::optional<int64_t> eosTokenId() const = 0;
    virtual std::optional<std::string> unknownToken() const = 0;
    virtual std::optional<int64_t> unknownTokenId() const = 0;
};

// The pipeline that a tokenizer file describes: added tokens cut out first,
// then normalizer, pre-tokenizer and token model on each remaining piece,
// then the post-processor; on the way back the decoder, the joining of the
// pieces and the clean-up of spaces before punctuation.
class PreTrainedTokenizer : public Tokenizer {
public:
    // Throws what the model selection and the model throw (TokenizerError),
    // and UnsupportedConfigurationError for components it cannot build.
    PreTrainedTokenizer(const Config& tokenizerConfig, const Config& tokenizerData, bool strict);

    using Tokenizer::decode;
    using Tokenizer::encode;
    std::vector<std::string> tokenize(const std::string& text) const override;
    std::vector<int64_t> encode(const std::string& text, bool addSpecialTokens) const override;
    std::string decode(const std::vector<int64_t>& tokens, bool skipSpecialTokens) const override;

    std::optional<int64_t> convertTokenToId(const std::string& token) const override;
    std::optional<std::string> convertIdToToken(int64_t id) const override;

    std::optional<std::string> bosToken() const override { return model_->bosToken(); }
    std::optional<int64_t> bosTokenId() const override { return model_->bosTokenId(); }
    std::optional<std::string> eosToken() const override { return model_->eosToken(); }
    std::optional<int64_t> eosTokenId() const override { return model_->eosTokenId(); }
    std::optional<std::string> unknownToken() const override { return model_->unknownToken(); }
    std::optional<int64_t> unknownTokenId() const override { return model_->unknownTokenId(); }
    bool fuseUnknownTokens() const { return model_->fuseUnknownTokens(); }

    std::vector<std::string> preTokenize(const std::string& text, const PreTokenizerOptions& options) const;
    std::string normalize(const std::string& text) const;
    std::vector<std::string> postProcess(std::vector<std::string> tokens, bool addSpecialTokens) const;
    std::vector<std::string> decodeTokens(const std::vector<std::string>& tokens) const;
    std::string cleanUp(const std::string& text) const;

    const std::unordered_map<std::string, int64_t>& specialTokens() const { return specialTokens_; }
    const Config& tokenizerConfig() const { return tokenizerConfig_; }

protected:
    // Keeps only the first token of each run of unknown tokens.
    std::vector<std::string> fuseUnknown(std::vector<std::string> tokens) const;

private:
    std::shared_ptr<const TokenizingModel> model_;
    std::set<std::string> addedTokens_;
    std::unordered_map<std::string, int64_t> specialTokens_;
    std::unordered_set<int64_t> specialTokenIds_;
    AddedTokenSplitter addedTokenSplitter_;
    std::shared_ptr<const PreTokenizer> preTokenizer_;
    std::shared_ptr<const Normalizer> normalizer_;
    std::shared_ptr<const PostProcessor> postProcessor_;
    std::shared_ptr<const Decoder> decoder_;
    Config tokenizerConfig_;
    bool cleanUpTokenizationSpaces_;
};

// Llama's tokenizer: unless the configuration says "legacy", the file's
// normalizer gives way to a Metaspace pre-tokenizer, and a post-processor is
// made from the configuration's "add_bos_token" and "add_eos_token" where the
// file has no template.
class LlamaPreTrainedTokenizer : public PreTrainedTokenizer {
public:
    // Throws TokenizerError::mismatchedConfig for a token asked for but not named.
    LlamaPreTrainedTokenizer(const Config& tokenizerConfig, const Config& tokenizerData, bool strict);

    std::vector<std::string> tokenize(const std::string& text) const override;
    bool isLegacy() const { return isLegacy_; }

private:
    bool isLegacy_;
};

// A post-processor configuration built from the tokenizer configuration's
// beginning- and end-of-sequence settings, or none when the file's own is a
// template already. Throws TokenizerError::mismatchedConfig.
std::optional<Config> maybeUpdatePostProcessor(const Config& tokenizerConfig, const Config& processorConfig);

} // namespace celvan
