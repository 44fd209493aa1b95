#pragma once

#include "mlcore/foundation/Config.h"
#include "mlcore/tokenizers/FlatIntegerMap.h"
#include "mlcore/tokenizers/TokenTable.h"
#include "mlcore/tokenizers/TokenizingModel.h"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace celvan {

// Byte-pair encoding: a pre-token starts as its characters and the adjacent
// pair of lowest merge rank is merged until no listed pair is left.
class BPETokenizer : public PreTrainedTokenizerModel {
public:
    // Throws UnsupportedConfigurationError without a "merges" array, and
    // TokenizerError: missingVocab when "vocab" is no object, malformedVocab
    // for a merge that is no pair of vocabulary tokens joining into a third.
    BPETokenizer(const Config& tokenizerConfig, const Config& tokenizerData, const AddedTokenIds& addedTokens);
    ~BPETokenizer() override;

    // The merges of a "merges" array, each as its parts: a string "a b" is
    // cut at every space, an array gives its strings. Anything but an array
    // gives none.
    static std::optional<std::vector<std::vector<std::string>>> mergesFromConfig(const Config* config);

    // The tokens of one pre-token. A character outside the vocabulary
    // becomes one "<0xXX>" token per UTF-8 byte when the file asks for byte
    // fallback and has all of them, else the unknown token, else nothing.
    std::vector<std::string> tokenize(const std::string& text) const override;

    std::optional<int64_t> convertTokenToId(const std::string& token) const override;
    std::optional<std::string> convertIdToToken(int64_t id) const override;

    std::optional<std::string> bosToken() const override { return bosToken_; }
    std::optional<int64_t> bosTokenId() const override { return bosTokenId_; }
    std::optional<std::string> eosToken() const override { return eosToken_; }
    std::optional<int64_t> eosTokenId() const override { return eosTokenId_; }
    std::optional<std::string> unknownToken() const override { return unknownToken_; }
    std::optional<int64_t> unknownTokenId() const override { return unknownTokenId_; }
    bool fuseUnknownTokens() const override { return fuseUnknownTokens_; }

    std::size_t vocabCount() const { return tokensToIds_.size(); }

private:
    struct Merge {
        int32_t rank;
        int32_t result;
    };
    struct Symbol;
    class WordCache;
    class MergeBatch;

    void addMerges(MergeBatch& batch);

    std::vector<Symbol> initialSymbols(std::string_view word) const;
    void merge(std::vector<Symbol>& symbols) const;
    std::vector<std::string> tokensOf(const std::vector<Symbol>& symbols) const;

    TokenTable tokensToIds_;
    // Keyed by the two symbols' ids, left in the high half.
    FlatIntegerMap<Merge> bpeRanks_;
    std::optional<std::string> bosToken_;
    std::optional<int64_t> bosTokenId_;
    std::optional<std::string> eosToken_;
    std::optional<int64_t> eosTokenId_;
    std::optional<std::string> unknownToken_;
    std::optional<int64_t> unknownTokenId_;
    bool fuseUnknownTokens_ = false;
    bool byteFallback_ = false;
    bool ignoreMerges_ = false;
    std::array<std::optional<int32_t>, 256> byteTokenIds_{};
    std::unique_ptr<WordCache> cache_;
};

} // namespace celvan
