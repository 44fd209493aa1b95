#include "speech/decoding/WhisperTokenizer.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "platform/text/DominantLanguage.h"
#include "platform/text/UnicodeProperties.h"
#include "platform/text/Utf.h"
#include "speech/model/Constants.h"

namespace sonoscribe {
namespace {

constexpr char32_t replacementCharacter = U'\uFFFD';

int64_t idOrDefault(const celvan::TokenizerWrapper& tokenizer, const std::string& text, int64_t fallback) {
    return tokenizer.convertTokenToId(text).value_or(fallback);
}

SpecialTokens resolveSpecialTokens(const celvan::TokenizerWrapper& tokenizer) {
    return SpecialTokens{
        .endToken = idOrDefault(tokenizer, "<|endoftext|>", 50257),
        .englishToken = idOrDefault(tokenizer, "<|en|>", 50259),
        .noSpeechToken = idOrDefault(tokenizer, "<|nospeech|>", 50362),
        .noTimestampsToken = idOrDefault(tokenizer, "<|notimestamps|>", 50363),
        .specialTokenBegin = idOrDefault(tokenizer, "<|endoftext|>", 50257),
        .startOfPreviousToken = idOrDefault(tokenizer, "<|startofprev|>", 50361),
        .startOfTranscriptToken = idOrDefault(tokenizer, "<|startoftranscript|>", 50258),
        .timeTokenBegin = idOrDefault(tokenizer, "<|0.00|>", 50364),
        .transcribeToken = idOrDefault(tokenizer, "<|transcribe|>", 50359),
        .translateToken = idOrDefault(tokenizer, "<|translate|>", 50358),
        .whitespaceToken = idOrDefault(tokenizer, " ", 220),
    };
}

std::set<int64_t> resolveLanguageTokens(const celvan::TokenizerWrapper& tokenizer, int64_t specialTokenBegin) {
    std::set<int64_t> tokens;
    for (const auto& [name, code] : Constants::languages()) {
        const auto id = tokenizer.convertTokenToId("<|" + code + "|>");
        if (id && *id > specialTokenBegin) tokens.insert(*id);
    }
    return tokens;
}

// Languages written without spaces between words.
bool splitsByCharacter(const std::optional<std::string>& language) {
    static constexpr std::array<std::string_view, 6> codes{"zh", "ja", "th", "lo", "my", "yue"};
    return language && std::find(codes.begin(), codes.end(), *language) != codes.end();
}

bool isLonePunctuation(const std::string& text) {
    const std::u32string scalars = platform::text::toScalars(platform::text::trimmingWhitespaces(text));
    return scalars.size() == 1 && platform::text::isPunctuation(scalars.front());
}

}  // namespace

WhisperTokenizerWrapper::WhisperTokenizerWrapper(celvan::TokenizerWrapper tokenizer,
                                                 std::optional<platform::URL> tokenizerFolder)
    : tokenizer_(std::move(tokenizer)),
      tokenizerFolder_(std::move(tokenizerFolder)),
      specialTokens_(resolveSpecialTokens(tokenizer_)),
      allLanguageTokens_(resolveLanguageTokens(tokenizer_, specialTokens_.specialTokenBegin)) {}

std::vector<int64_t> WhisperTokenizerWrapper::encode(const std::string& text) const { return tokenizer_.encode(text); }

std::string WhisperTokenizerWrapper::decode(const std::vector<int64_t>& tokens) const { return tokenizer_.decode(tokens); }

std::optional<int64_t> WhisperTokenizerWrapper::convertTokenToId(const std::string& token) const {
    return tokenizer_.convertTokenToId(token);
}

std::optional<std::string> WhisperTokenizerWrapper::convertIdToToken(int64_t id) const {
    return tokenizer_.convertIdToToken(id);
}

WordTokens WhisperTokenizerWrapper::splitToWordTokens(const std::vector<int64_t>& tokenIds) const {
    std::vector<int64_t> textTokens;
    std::copy_if(tokenIds.begin(), tokenIds.end(), std::back_inserter(textTokens),
                 [&](int64_t token) { return token < specialTokens_.specialTokenBegin; });
    const auto language = platform::text::dominantLanguage(decode(textTokens));
    return splitsByCharacter(language) ? splitTokensOnUnicode(tokenIds) : splitTokensOnSpaces(tokenIds);
}

// A group ends where its decode holds no broken character. Offsets count code
// points of the whole decode, so that pieces whose decodes join differently
// (combining marks) cannot drift past it.
WordTokens WhisperTokenizerWrapper::splitTokensOnUnicode(const std::vector<int64_t>& tokens) const {
    const std::u32string full = platform::text::toScalars(decode(tokens));
    WordTokens result;
    std::vector<int64_t> current;
    std::size_t offset = 0;
    for (const int64_t token : tokens) {
        current.push_back(token);
        const std::string piece = decode(current);
        const std::u32string pieceScalars = platform::text::toScalars(piece);
        const std::size_t broken = pieceScalars.find(replacementCharacter);
        const bool complete = broken == std::u32string::npos ||
                              (offset + broken < full.size() && full[offset + broken] == replacementCharacter);
        if (!complete) continue;
        result.words.push_back(piece);
        result.wordTokens.push_back(std::move(current));
        current.clear();
        offset += pieceScalars.size();
    }
    return result;
}

WordTokens WhisperTokenizerWrapper::splitTokensOnSpaces(const std::vector<int64_t>& tokens) const {
    const WordTokens subwords = splitTokensOnUnicode(tokens);
    WordTokens result;
    for (std::size_t i = 0; i < subwords.words.size(); ++i) {
        const std::string& subword = subwords.words[i];
        const std::vector<int64_t>& subwordTokens = subwords.wordTokens[i];
        const bool special = !subwordTokens.empty() && subwordTokens.front() >= specialTokens_.specialTokenBegin;
        const bool startsWord = special || subword.starts_with(' ') || isLonePunctuation(subword) || result.words.empty();
        if (startsWord) {
            result.words.push_back(subword);
            result.wordTokens.push_back(subwordTokens);
        } else {
            result.words.back() += subword;
            result.wordTokens.back().insert(result.wordTokens.back().end(), subwordTokens.begin(), subwordTokens.end());
        }
    }
    return result;
}

std::string languageCode(const WhisperTokenizer& tokenizer, int64_t token) {
    const std::u32string scalars = platform::text::toScalars(tokenizer.decode({token}));
    const auto isBracket = [](char32_t scalar) {
        return Constants::specialTokenCharacters.find(scalar) != std::u32string_view::npos;
    };
    const auto first = std::find_if_not(scalars.begin(), scalars.end(), isBracket);
    const auto last = std::find_if_not(scalars.rbegin(), std::make_reverse_iterator(first), isBracket).base();
    return platform::text::toUtf8(std::u32string(first, last));
}

}  // namespace sonoscribe
