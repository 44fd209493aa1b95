#pragma once

#include "mlcore/foundation/Config.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace celvan {

// Not noexcept on purpose: the standard library then keeps each entry's hash
// beside it instead of hashing whole tokens again on every bucket walk.
struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>()(text); }
};

// Token text to id, looked up by views so that a pre-token's pieces need no
// copies of their own.
using Vocabulary = std::unordered_map<std::string, int64_t, TextHash, std::equal_to<>>;

// The added-token texts with their ids, as the pipeline collected them.
using AddedTokenIds = std::unordered_map<std::string, int64_t>;

// Ids are indexes into the model's tables, so one that no table can hold
// (negative, or past 32 bits) makes the vocabulary unusable.
bool isUsableTokenId(int64_t id);

// The integer-valued entries of a vocabulary object; others are left out.
// Throws TokenizerError::missingVocab when it is not an object, and
// TokenizerError::malformedVocab for an id that no table can hold.
Vocabulary readVocabulary(const Config& vocab);

// The first token of each id, for turning ids back into text.
std::unordered_map<int64_t, std::string> invertVocabulary(const Vocabulary& vocabulary);

// The length in bytes of the UTF-8 scalar that starts at offset; an ill-formed
// byte counts as one scalar of its own so that no text is lost.
std::size_t scalarLength(std::string_view text, std::size_t offset);
// The scalar that starts at offset; an ill-formed byte reads as U+FFFD.
char32_t scalarAt(std::string_view text, std::size_t offset);

} // namespace celvan
