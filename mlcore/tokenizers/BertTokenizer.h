#pragma once

#include "mlcore/foundation/Config.h"
#include "mlcore/tokenizers/TokenizingModel.h"
#include "mlcore/tokenizers/Vocabulary.h"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace celvan {

// Splits a piece of text into words: at horizontal whitespace, around each
// punctuation character, lower-cased on request. The special tokens are
// never split or lower-cased.
class BasicTokenizer {
public:
    explicit BasicTokenizer(bool doLowerCase) : doLowerCase_(doLowerCase) {}

    bool doLowerCase() const { return doLowerCase_; }
    std::vector<std::string> tokenize(const std::string& text) const;

    static constexpr std::array<const char*, 5> neverSplit = {"[UNK]", "[SEP]", "[PAD]", "[CLS]", "[MASK]"};

private:
    void splitWord(std::string_view component, std::vector<std::string>& words) const;

    bool doLowerCase_;
};

// Greedy longest-match-first WordPiece: a word becomes the longest vocabulary
// piece at its start, then the longest continuation piece (marked by the
// prefix) after it, and so on; a word with no such cover is the unknown token.
class WordpieceTokenizer {
public:
    WordpieceTokenizer(std::string unkToken, std::string continuingSubwordPrefix, std::size_t maxInputCharsPerWord,
                       std::shared_ptr<const Vocabulary> vocab);

    const std::string& unkToken() const { return unkToken_; }
    std::vector<std::string> tokenize(const std::string& word) const;

private:
    std::string unkToken_;
    std::string prefix_;
    std::size_t maxInputCharsPerWord_;
    std::shared_ptr<const Vocabulary> vocab_;
};

// The WordPiece model of BERT-family tokenizers.
class BertTokenizer : public PreTrainedTokenizerModel {
public:
    struct Settings {
        bool tokenizeChineseChars = true;
        std::optional<std::string> bosToken;
        std::optional<std::string> eosToken;
        bool fuseUnknownTokens = false;
        bool doLowerCase = true;
        std::string unkToken = "[UNK]";
        std::string continuingSubwordPrefix = "##";
        std::size_t maxInputCharsPerWord = 100;
    };

    BertTokenizer(Vocabulary vocab, const Settings& settings);
    // Throws TokenizerError::missingVocab when the model's "vocab" is no object.
    BertTokenizer(const Config& tokenizerConfig, const Config& tokenizerData, const AddedTokenIds& addedTokens);

    std::vector<std::string> tokenize(const std::string& text) const override;

    std::optional<int64_t> convertTokenToId(const std::string& token) const override;
    std::optional<std::string> convertIdToToken(int64_t id) const override;

    std::optional<std::string> bosToken() const override { return bosToken_; }
    std::optional<int64_t> bosTokenId() const override { return bosTokenId_; }
    std::optional<std::string> eosToken() const override { return eosToken_; }
    std::optional<int64_t> eosTokenId() const override { return eosTokenId_; }
    std::optional<std::string> unknownToken() const override { return wordpieceTokenizer_.unkToken(); }
    std::optional<int64_t> unknownTokenId() const override { return unknownTokenId_; }
    bool fuseUnknownTokens() const override { return fuseUnknownTokens_; }

    static constexpr std::size_t maxLen = 512;

private:
    std::optional<int64_t> idOf(const std::optional<std::string>& token) const;

    std::shared_ptr<const Vocabulary> vocab_;
    std::unordered_map<int64_t, std::string> idsToTokens_;
    BasicTokenizer basicTokenizer_;
    WordpieceTokenizer wordpieceTokenizer_;
    bool tokenizeChineseChars_;
    std::optional<std::string> bosToken_;
    std::optional<int64_t> bosTokenId_;
    std::optional<std::string> eosToken_;
    std::optional<int64_t> eosTokenId_;
    std::optional<int64_t> unknownTokenId_;
    bool fuseUnknownTokens_;
};

} // namespace celvan
