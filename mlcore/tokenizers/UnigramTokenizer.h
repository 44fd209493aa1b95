#pragma once

#include "mlcore/foundation/Config.h"
#include "mlcore/tokenizers/Trie.h"
#include "mlcore/tokenizers/TokenizingModel.h"
#include "mlcore/tokenizers/Vocabulary.h"

#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace celvan {

// The Unigram model of SentencePiece-style tokenizers: of all ways to cover a
// text with vocabulary pieces, the one whose scores add up highest.
class UnigramTokenizer : public PreTrainedTokenizerModel {
public:
    struct SentencePieceToken {
        std::string token;
        float score;
    };

    // Throws TokenizerError: missingVocab when "vocab" is no array,
    // malformedVocab for an entry that is no [piece, score] or an "unkId"
    // that is no index of the vocabulary.
    UnigramTokenizer(const Config& tokenizerConfig, const Config& tokenizerData, const AddedTokenIds& addedTokens);

    // The pieces of the best path, as the text's own substrings; a character
    // no piece covers comes out as itself, which maps to the unknown id.
    std::vector<std::string> tokenize(const std::string& text) const override;

    std::optional<int64_t> convertTokenToId(const std::string& token) const override;
    std::optional<std::string> convertIdToToken(int64_t id) const override;

    std::optional<std::string> bosToken() const override { return bosToken_; }
    std::optional<int64_t> bosTokenId() const override { return bosTokenId_; }
    std::optional<std::string> eosToken() const override { return eosToken_; }
    std::optional<int64_t> eosTokenId() const override { return eosTokenId_; }
    std::optional<std::string> unknownToken() const override { return unknownPiece_.token; }
    std::optional<int64_t> unknownTokenId() const override { return unknownTokenId_; }
    bool fuseUnknownTokens() const override { return true; }

    float unknownTokenScore() const { return unknownPiece_.score; }
    float minScore() const { return minScore_; }

private:
    std::vector<SentencePieceToken> vocab_;
    SentencePieceToken unknownPiece_;
    std::optional<int64_t> unknownTokenId_;
    float minScore_ = 999.0f;
    std::unordered_map<std::string, int64_t> tokensToIds_;
    std::optional<std::string> bosToken_ = " ";
    std::optional<int64_t> bosTokenId_;
    std::optional<std::string> eosToken_;
    std::optional<int64_t> eosTokenId_;
    Trie trie_;
};

// T5's tokenizer is the Unigram model under its own class name.
class T5Tokenizer : public UnigramTokenizer {
public:
    using UnigramTokenizer::UnigramTokenizer;
};

} // namespace celvan
