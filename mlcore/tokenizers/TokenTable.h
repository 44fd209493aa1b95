#pragma once

#include "mlcore/foundation/Config.h"
#include "mlcore/tokenizers/FlatIntegerMap.h"
#include "mlcore/tokenizers/Vocabulary.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace celvan {

// A vocabulary of token texts and ids, both ways. The texts sit one after
// another in one buffer and the index holds a part of each text's hash, so a
// lookup rarely compares text it does not return and a vocabulary of a
// hundred thousand tokens is built with a few dozen allocations.
class TokenTable {
public:
    TokenTable() = default;

    // The integer-valued entries of a vocabulary object, then the added
    // tokens, each replacing the id of an entry with the same text. Throws
    // TokenizerError::missingVocab when the vocabulary is not an object and
    // TokenizerError::malformedVocab for an id that no table can hold.
    static TokenTable fromVocabulary(const Config& vocab, const AddedTokenIds& addedTokens);

    std::optional<int32_t> id(std::string_view token) const;
    // The text of an id; of several texts with one id, the one that entered
    // the table last.
    std::optional<std::string_view> token(int64_t id) const;

    std::size_t size() const { return entries_.size(); }

private:
    struct Entry {
        uint32_t offset;
        uint32_t length;
        int32_t id;
    };

    // Appends the text at the end of the buffer as a candidate; insertPending
    // then keeps it as a new entry or gives its id to an equal one.
    void insertPending(std::size_t offset, int32_t id);
    std::size_t findSlot(std::string_view token, std::size_t hash) const;
    void grow();
    std::string_view textOf(const Entry& entry) const { return {texts_.data() + entry.offset, entry.length}; }

    std::string texts_;
    std::vector<Entry> entries_;
    // Per slot: the upper half of the text's hash, then the entry index plus
    // one; zero marks a free slot.
    std::vector<uint64_t> slots_;
    FlatIntegerMap<uint32_t> entryOfId_;
};

} // namespace celvan
