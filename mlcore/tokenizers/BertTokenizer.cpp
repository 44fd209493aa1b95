#include "mlcore/tokenizers/BertTokenizer.h"

#include "mlcore/tokenizers/TokenizerError.h"

#include "platform/text/CaseMapping.h"
#include "platform/text/GeneralCategory.h"
#include "platform/text/Normalization.h"
#include "platform/text/UnicodeProperties.h"
#include "platform/text/Utf.h"

#include <algorithm>

namespace celvan {
namespace {

bool isChineseCharacter(char32_t scalar) {
    return (scalar >= 0x4E00 && scalar <= 0x9FFF) || (scalar >= 0x3400 && scalar <= 0x4DBF) ||
           (scalar >= 0x20000 && scalar <= 0x2A6DF) || (scalar >= 0x2A700 && scalar <= 0x2CEAF) ||
           (scalar >= 0xF900 && scalar <= 0xFAFF) || (scalar >= 0x2F800 && scalar <= 0x2FA1F);
}

// ASCII symbols such as "$" and "+" are no Unicode punctuation, but words are
// cut around them all the same.
bool isPunctuationCharacter(char32_t scalar) {
    return platform::text::isPunctuation(scalar) || (scalar >= 33 && scalar <= 47) || (scalar >= 58 && scalar <= 64) ||
           (scalar >= 91 && scalar <= 96) || (scalar >= 123 && scalar <= 126);
}

std::string spacingChineseCharacters(const std::u32string& scalars) {
    std::string out;
    for (char32_t scalar : scalars) {
        if (isChineseCharacter(scalar)) {
            out += ' ';
            platform::text::appendUtf8(out, scalar);
            out += ' ';
        } else {
            platform::text::appendUtf8(out, scalar);
        }
    }
    return out;
}

// Accents go the way the vocabulary was built: the text is decomposed and its
// nonspacing marks dropped, without composing it again.
std::string strippingAccents(std::string_view text) {
    std::string out;
    for (char32_t scalar : platform::text::toScalars(platform::text::normalized(text, platform::text::NormalizationForm::D))) {
        if (!platform::text::isNonspacingMark(scalar)) platform::text::appendUtf8(out, scalar);
    }
    return out;
}

} // namespace

std::vector<std::string> BasicTokenizer::tokenize(const std::string& text) const {
    std::vector<std::string> words;
    std::string component;
    for (char32_t scalar : platform::text::toScalars(text)) {
        if (platform::text::isInWhitespaces(scalar)) {
            splitWord(component, words);
            component.clear();
        } else {
            platform::text::appendUtf8(component, scalar);
        }
    }
    splitWord(component, words);
    return words;
}

void BasicTokenizer::splitWord(std::string_view component, std::vector<std::string>& words) const {
    if (component.empty()) return;
    if (std::find(neverSplit.begin(), neverSplit.end(), component) != neverSplit.end()) {
        words.emplace_back(component);
        return;
    }
    const std::string text = doLowerCase_ ? platform::text::lowercased(component) : std::string(component);
    std::string word;
    for (char32_t scalar : platform::text::toScalars(text)) {
        if (isPunctuationCharacter(scalar)) {
            if (!word.empty()) words.push_back(std::move(word));
            word.clear();
            std::string mark;
            platform::text::appendUtf8(mark, scalar);
            words.push_back(std::move(mark));
        } else {
            platform::text::appendUtf8(word, scalar);
        }
    }
    if (!word.empty()) words.push_back(std::move(word));
}

WordpieceTokenizer::WordpieceTokenizer(std::string unkToken, std::string continuingSubwordPrefix,
                                       std::size_t maxInputCharsPerWord, std::shared_ptr<const Vocabulary> vocab)
    : unkToken_(std::move(unkToken)), prefix_(std::move(continuingSubwordPrefix)),
      maxInputCharsPerWord_(maxInputCharsPerWord), vocab_(std::move(vocab)) {}

std::vector<std::string> WordpieceTokenizer::tokenize(const std::string& word) const {
    // Character boundaries as byte offsets; pieces start and end only there.
    std::vector<std::size_t> boundaries;
    for (std::size_t offset = 0; offset < word.size(); offset += scalarLength(word, offset)) {
        boundaries.push_back(offset);
        if (boundaries.size() > maxInputCharsPerWord_) return {unkToken_};
    }
    boundaries.push_back(word.size());

    std::vector<std::string> pieces;
    std::string candidate;
    for (std::size_t start = 0; start + 1 < boundaries.size();) {
        std::size_t end = boundaries.size() - 1;
        for (; end > start; --end) {
            candidate.assign(start > 0 ? prefix_ : std::string());
            candidate.append(word, boundaries[start], boundaries[end] - boundaries[start]);
            if (vocab_->contains(candidate)) break;
        }
        if (end == start) return {unkToken_};
        pieces.push_back(candidate);
        start = end;
    }
    return pieces;
}

BertTokenizer::BertTokenizer(Vocabulary vocab, const Settings& settings)
    : vocab_(std::make_shared<const Vocabulary>(std::move(vocab))), idsToTokens_(invertVocabulary(*vocab_)),
      basicTokenizer_(settings.doLowerCase),
      wordpieceTokenizer_(settings.unkToken, settings.continuingSubwordPrefix, settings.maxInputCharsPerWord, vocab_),
      tokenizeChineseChars_(settings.tokenizeChineseChars), bosToken_(settings.bosToken), bosTokenId_(idOf(bosToken_)),
      eosToken_(settings.eosToken), eosTokenId_(idOf(eosToken_)), unknownTokenId_(idOf(settings.unkToken)),
      fuseUnknownTokens_(settings.fuseUnknownTokens) {}

namespace {

BertTokenizer::Settings settingsFrom(const Config& tokenizerConfig, const Config& model) {
    BertTokenizer::Settings settings;
    settings.tokenizeChineseChars = tokenizerConfig["handleChineseChars"].boolean().value_or(true);
    settings.eosToken = tokenizerConfig["eosToken"].string();
    settings.bosToken = tokenizerConfig["bosToken"].string();
    settings.fuseUnknownTokens = tokenizerConfig["fuseUnk"].boolean().value_or(false);
    settings.doLowerCase = tokenizerConfig["doLowerCase"].boolean().value_or(true);
    // The model section names its own unknown token and continuation mark;
    // the usual ones apply where it is silent.
    if (auto unk = model["unkToken"].string()) settings.unkToken = *unk;
    if (auto prefix = model["continuingSubwordPrefix"].string()) settings.continuingSubwordPrefix = *prefix;
    if (auto limit = model["maxInputCharsPerWord"].integer(); limit && *limit >= 0) {
        settings.maxInputCharsPerWord = static_cast<std::size_t>(*limit);
    }
    return settings;
}

Vocabulary vocabularyFrom(const Config& tokenizerData, const AddedTokenIds& addedTokens) {
    Vocabulary vocab = readVocabulary(tokenizerData["model"]["vocab"]);
    if (const auto* entries = tokenizerData["addedTokens"].array()) {
        for (const Config& entry : *entries) {
            const auto id = entry["id"].integer();
            const auto content = entry["content"].string();
            if (!id || !content || !entry.dictionary()) continue;
            if (!isUsableTokenId(*id)) throw TokenizerError::malformedVocab();
            vocab.insert_or_assign(*content, *id);
        }
    }
    for (const auto& [content, id] : addedTokens) {
        if (!isUsableTokenId(id)) throw TokenizerError::malformedVocab();
        vocab.insert_or_assign(content, id);
    }
    return vocab;
}

} // namespace

BertTokenizer::BertTokenizer(const Config& tokenizerConfig, const Config& tokenizerData,
                             const AddedTokenIds& addedTokens)
    : BertTokenizer(vocabularyFrom(tokenizerData, addedTokens), settingsFrom(tokenizerConfig, tokenizerData["model"])) {}

std::optional<int64_t> BertTokenizer::idOf(const std::optional<std::string>& token) const {
    if (!token) return std::nullopt;
    auto found = vocab_->find(*token);
    return found == vocab_->end() ? std::nullopt : std::optional<int64_t>(found->second);
}

std::vector<std::string> BertTokenizer::tokenize(const std::string& text) const {
    std::string prepared = tokenizeChineseChars_ ? spacingChineseCharacters(platform::text::toScalars(text)) : text;
    if (basicTokenizer_.doLowerCase()) prepared = strippingAccents(prepared);
    std::vector<std::string> tokens;
    for (const auto& word : basicTokenizer_.tokenize(prepared)) {
        auto pieces = wordpieceTokenizer_.tokenize(word);
        tokens.insert(tokens.end(), std::make_move_iterator(pieces.begin()), std::make_move_iterator(pieces.end()));
    }
    return tokens;
}

std::optional<int64_t> BertTokenizer::convertTokenToId(const std::string& token) const {
    auto found = vocab_->find(token);
    return found == vocab_->end() ? unknownTokenId_ : std::optional<int64_t>(found->second);
}

std::optional<std::string> BertTokenizer::convertIdToToken(int64_t id) const {
    auto found = idsToTokens_.find(id);
    return found == idsToTokens_.end() ? std::nullopt : std::optional<std::string>(found->second);
}

} // namespace celvan
