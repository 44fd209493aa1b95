#pragma once

#include "mlcore/foundation/Config.h"
#include "mlcore/tokenizers/FlatIntegerMap.h"
#include "mlcore/tokenizers/Vocabulary.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace celvan {

// A vocabulary of token texts and ids, both ways. The texts sit one after
// another in one buffer, and each slot of the index holds a text's place,
// id and part of its hash, so a lookup reads one slot and the one text it
// returns, and a vocabulary of a hundred thousand tokens is built with a few
// dozen allocations.
class TokenTable {
public:
    TokenTable() = default;

    // The integer-valued entries of a vocabulary object, then the added
    // tokens, each replacing the id of an entry with the same text. Throws
    // TokenizerError::missingVocab when the vocabulary is not an object and
    // TokenizerError::malformedVocab for an id that no table can hold.
    static TokenTable fromVocabulary(const Config& vocab, const AddedTokenIds& addedTokens);

    std::optional<int32_t> id(std::string_view token) const;
    // The ids of many texts into found, which has one place per text; the
    // memory reads of neighbouring lookups overlap, which makes this several
    // times faster than looking them up one by one.
    void ids(std::span<const std::string_view> tokens, std::span<std::optional<int32_t>> found) const;
    // The text of an id; of several texts with one id, the one that entered
    // the table last.
    std::optional<std::string_view> token(int64_t id) const;

    std::size_t size() const { return size_; }

private:
    struct Slot {
        static constexpr int32_t kFree = -1;
        uint32_t hash = 0;
        uint32_t offset = 0;
        uint32_t length = 0;
        int32_t id = kFree;
    };

    class Filler;

    // The slot holding the text, or the free slot where it would go.
    std::size_t slotIndex(std::string_view token, std::size_t hash) const;
    std::optional<int32_t> idInSlot(std::string_view token, std::size_t hash) const;
    std::string_view textOf(uint32_t offset, uint32_t length) const { return {texts_.data() + offset, length}; }

    std::string texts_;
    std::vector<Slot> slots_;
    std::size_t size_ = 0;
    // Id to the text's offset (upper half) and length (lower half).
    FlatIntegerMap<uint64_t> textOfId_;
};

} // namespace celvan
