#include "mlcore/tokenizers/Vocabulary.h"

#include "mlcore/tokenizers/TokenizerError.h"

#include <limits>

namespace celvan {

bool isUsableTokenId(int64_t id) { return id >= 0 && id <= std::numeric_limits<int32_t>::max(); }

Vocabulary readVocabulary(const Config& vocab) {
    const auto* entries = vocab.dictionary();
    if (!entries) throw TokenizerError::missingVocab();
    Vocabulary vocabulary;
    vocabulary.reserve(entries->size());
    for (const auto& [token, value] : *entries) {
        const auto id = value.integer();
        if (!id) continue;
        if (!isUsableTokenId(*id)) throw TokenizerError::malformedVocab();
        vocabulary.insert_or_assign(token.string(), *id);
    }
    return vocabulary;
}

std::unordered_map<int64_t, std::string> invertVocabulary(const Vocabulary& vocabulary) {
    std::unordered_map<int64_t, std::string> tokens;
    tokens.reserve(vocabulary.size());
    for (const auto& [token, id] : vocabulary) tokens.emplace(id, token);
    return tokens;
}

std::size_t scalarLength(std::string_view text, std::size_t offset) {
    const auto lead = static_cast<unsigned char>(text[offset]);
    std::size_t length = 1;
    if (lead >= 0xF0 && lead <= 0xF4) length = 4;
    else if (lead >= 0xE0) length = lead <= 0xEF ? 3 : 1;
    else if (lead >= 0xC2) length = 2;
    if (offset + length > text.size()) return 1;
    for (std::size_t k = 1; k < length; ++k) {
        if ((static_cast<unsigned char>(text[offset + k]) & 0xC0) != 0x80) return 1;
    }
    return length;
}

char32_t scalarAt(std::string_view text, std::size_t offset) {
    const std::size_t length = scalarLength(text, offset);
    const auto lead = static_cast<unsigned char>(text[offset]);
    if (length == 1) return lead < 0x80 ? lead : U'\uFFFD';
    char32_t scalar = lead & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) scalar = (scalar << 6) | (static_cast<unsigned char>(text[offset + k]) & 0x3F);
    return scalar;
}

} // namespace celvan
