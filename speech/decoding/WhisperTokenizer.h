#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "mlcore/tokenizers/TokenizerWrapper.h"
#include "platform/foundation/URL.h"

namespace sonoscribe {

// The ids of the tokens that steer a Whisper decoder. Every id at or above
// specialTokenBegin is special; timeTokenBegin + k stands for k * 0.02 s.
struct SpecialTokens {
    int64_t endToken;
    int64_t englishToken;
    int64_t noSpeechToken;
    int64_t noTimestampsToken;
    int64_t specialTokenBegin;
    int64_t startOfPreviousToken;
    int64_t startOfTranscriptToken;
    int64_t timeTokenBegin;
    int64_t transcribeToken;
    int64_t translateToken;
    int64_t whitespaceToken;

    bool operator==(const SpecialTokens&) const = default;
};

// Words of a token sequence with the tokens of each, in order.
struct WordTokens {
    std::vector<std::string> words;
    std::vector<std::vector<int64_t>> wordTokens;
};

// The tokenizer as the decoding stages see it: the general tokenizer plus
// what Whisper decoding needs. Immutable, so any thread may read it.
class WhisperTokenizer {
public:
    virtual ~WhisperTokenizer() = default;

    virtual std::vector<int64_t> encode(const std::string& text) const = 0;
    // Special tokens stay in the text.
    virtual std::string decode(const std::vector<int64_t>& tokens) const = 0;
    virtual std::optional<int64_t> convertTokenToId(const std::string& token) const = 0;
    virtual std::optional<std::string> convertIdToToken(int64_t id) const = 0;
    virtual const SpecialTokens& specialTokens() const = 0;
    virtual const std::set<int64_t>& allLanguageTokens() const = 0;
    virtual WordTokens splitToWordTokens(const std::vector<int64_t>& tokenIds) const = 0;
};

class WhisperTokenizerWrapper final : public WhisperTokenizer {
public:
    WhisperTokenizerWrapper(celvan::TokenizerWrapper tokenizer, std::optional<platform::URL> tokenizerFolder);

    std::vector<int64_t> encode(const std::string& text) const override;
    std::string decode(const std::vector<int64_t>& tokens) const override;
    std::optional<int64_t> convertTokenToId(const std::string& token) const override;
    std::optional<std::string> convertIdToToken(int64_t id) const override;
    const SpecialTokens& specialTokens() const override { return specialTokens_; }
    const std::set<int64_t>& allLanguageTokens() const override { return allLanguageTokens_; }
    // Languages written without spaces are split between characters, all
    // others at spaces and punctuation.
    WordTokens splitToWordTokens(const std::vector<int64_t>& tokenIds) const override;

    const celvan::TokenizerWrapper& tokenizer() const noexcept { return tokenizer_; }
    const std::optional<platform::URL>& tokenizerFolder() const noexcept { return tokenizerFolder_; }

private:
    WordTokens splitTokensOnUnicode(const std::vector<int64_t>& tokens) const;
    WordTokens splitTokensOnSpaces(const std::vector<int64_t>& tokens) const;

    celvan::TokenizerWrapper tokenizer_;
    std::optional<platform::URL> tokenizerFolder_;
    SpecialTokens specialTokens_;
    std::set<int64_t> allLanguageTokens_;
};

// The code a language token stands for: its text without the brackets of
// special tokens ("<|de|>" gives "de").
std::string languageCode(const WhisperTokenizer& tokenizer, int64_t token);

}  // namespace sonoscribe
