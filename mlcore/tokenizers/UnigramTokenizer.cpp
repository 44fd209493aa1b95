#include "mlcore/tokenizers/UnigramTokenizer.h"

#include "mlcore/tokenizers/TokenLattice.h"
#include "mlcore/tokenizers/TokenizerError.h"
#include "platform/text/Utf.h"

#include <algorithm>

namespace celvan {
namespace {

UnigramTokenizer::SentencePieceToken pieceFrom(const Config& entry) {
    const auto* parts = entry.array();
    if (!parts || parts->empty()) throw TokenizerError::malformedVocab();
    auto token = parts->front().string();
    const Config& score = parts->back();
    if (!token || !(score.value().integerValue() || score.value().floatingValue())) {
        throw TokenizerError::malformedVocab();
    }
    return {std::move(*token), *score.floating()};
}

} // namespace

UnigramTokenizer::UnigramTokenizer(const Config& tokenizerConfig, const Config& tokenizerData, const AddedTokenIds&) {
    const Config& model = tokenizerData["model"];
    const auto* entries = model["vocab"].array();
    if (!entries) throw TokenizerError::missingVocab();
    vocab_.reserve(entries->size());
    for (const Config& entry : *entries) vocab_.push_back(pieceFrom(entry));
    if (!isUsableTokenId(static_cast<int64_t>(vocab_.size()))) throw TokenizerError::malformedVocab();

    for (const auto& piece : vocab_) minScore_ = std::min(minScore_, piece.score);

    const auto unkId = model["unkId"].integer();
    if (!unkId || *unkId < 0 || *unkId >= static_cast<int64_t>(vocab_.size())) throw TokenizerError::malformedVocab();
    unknownTokenId_ = *unkId;
    unknownPiece_ = {vocab_[static_cast<std::size_t>(*unkId)].token, minScore_ - 10.0f};

    tokensToIds_.reserve(vocab_.size());
    for (std::size_t index = 0; index < vocab_.size(); ++index) {
        tokensToIds_.insert_or_assign(vocab_[index].token, static_cast<int64_t>(index));
    }
    auto idOf = [this](const std::optional<std::string>& token) -> std::optional<int64_t> {
        if (!token) return std::nullopt;
        auto found = tokensToIds_.find(*token);
        return found == tokensToIds_.end() ? std::nullopt : std::optional<int64_t>(found->second);
    };
    bosTokenId_ = idOf(bosToken_);
    eosToken_ = tokenizerConfig["eosToken"].string();
    eosTokenId_ = idOf(eosToken_);

    // A piece listed twice is found under its later index, as the id table has it.
    for (std::size_t index = 0; index < vocab_.size(); ++index) {
        trie_.insert(platform::text::toScalars(vocab_[index].token), static_cast<int32_t>(index));
    }
}

std::vector<std::string> UnigramTokenizer::tokenize(const std::string& text) const {
    if (text.empty()) return {};
    // Characters are the text's scalars, each remembered by its byte offset.
    std::u32string scalars;
    std::vector<std::size_t> offsets;
    for (std::size_t offset = 0; offset < text.size(); offset += scalarLength(text, offset)) {
        offsets.push_back(offset);
        scalars.push_back(scalarAt(text, offset));
    }
    offsets.push_back(text.size());

    TokenLattice lattice(scalars.size(), bosTokenId_.value_or(0), eosTokenId_.value_or(0));
    const std::u32string_view view(scalars);
    for (std::size_t begin = 0; begin < scalars.size(); ++begin) {
        bool hasSingleCharacter = false;
        for (const auto& prefix : trie_.commonPrefixes(view.substr(begin))) {
            lattice.insert(begin, prefix.length, vocab_[static_cast<std::size_t>(prefix.value)].score, prefix.value);
            hasSingleCharacter = hasSingleCharacter || prefix.length == 1;
        }
        if (!hasSingleCharacter) lattice.insert(begin, 1, unknownPiece_.score, unknownTokenId_.value_or(0));
    }

    std::vector<std::string> tokens;
    for (const auto& node : lattice.viterbi()) {
        const std::size_t from = offsets[node.startOffset];
        tokens.push_back(text.substr(from, offsets[node.startOffset + node.length] - from));
    }
    return tokens;
}

std::optional<int64_t> UnigramTokenizer::convertTokenToId(const std::string& token) const {
    auto found = tokensToIds_.find(token);
    return found == tokensToIds_.end() ? unknownTokenId_ : std::optional<int64_t>(found->second);
}

std::optional<std::string> UnigramTokenizer::convertIdToToken(int64_t id) const {
    if (id < 0 || id >= static_cast<int64_t>(vocab_.size())) return std::nullopt;
    return vocab_[static_cast<std::size_t>(id)].token;
}

} // namespace celvan
