#include "mlcore/tokenizers/TokenTable.h"

#include "mlcore/tokenizers/TokenizerError.h"
#include "platform/text/Utf.h"

#include <algorithm>
#include <functional>
#include <limits>

namespace celvan {
namespace {

std::size_t hashOf(std::string_view text) { return std::hash<std::string_view>()(text); }

// The slot index comes from the lower bits, so the upper ones tell texts
// of one probe run apart.
uint32_t fingerprint(std::size_t hash) { return static_cast<uint32_t>(static_cast<uint64_t>(hash) >> 32); }

// At most half full, so that probe runs stay short.
std::size_t slotCountFor(std::size_t count) {
    std::size_t slots = 64;
    while (slots < count * 2) slots *= 2;
    return slots;
}

} // namespace

// Texts wait in small batches so that the slots they go to are loaded
// together; the slots a batch added are then listed in the order their texts
// came.
class TokenTable::Filler {
public:
    explicit Filler(TokenTable& table) : table_(table) {}

    void add(std::size_t offset, int32_t id) {
        if (table_.texts_.size() > std::numeric_limits<uint32_t>::max()) throw TokenizerError::malformedVocab();
        const std::string_view text(table_.texts_.data() + offset, table_.texts_.size() - offset);
        const std::size_t hash = hashOf(text);
        __builtin_prefetch(&table_.slots_[hash & (table_.slots_.size() - 1)]);
        pending_[count_++] = {offset, text.size(), hash, id};
        if (count_ == kBatch) flush();
    }

    void flush() {
        for (std::size_t k = 0; k < count_; ++k) {
            const Pending& entry = pending_[k];
            const std::string_view text(table_.texts_.data() + entry.offset, entry.length);
            const std::size_t index = table_.slotIndex(text, entry.hash);
            Slot& slot = table_.slots_[index];
            // A text given twice keeps its first place and its last id.
            if (slot.id == Slot::kFree) {
                slot = {fingerprint(entry.hash), static_cast<uint32_t>(entry.offset),
                        static_cast<uint32_t>(entry.length), entry.id};
                ++table_.size_;
                order_.push_back(index);
            } else {
                slot.id = entry.id;
            }
        }
        count_ = 0;
    }

    const std::vector<std::size_t>& order() const { return order_; }

private:
    static constexpr std::size_t kBatch = 16;
    struct Pending {
        std::size_t offset;
        std::size_t length;
        std::size_t hash;
        int32_t id;
    };

    TokenTable& table_;
    Pending pending_[kBatch];
    std::size_t count_ = 0;
    std::vector<std::size_t> order_;
};

TokenTable TokenTable::fromVocabulary(const Config& vocab, const AddedTokenIds& addedTokens) {
    const auto* entries = vocab.dictionary();
    if (!entries) throw TokenizerError::missingVocab();
    TokenTable table;
    // Every text goes in once at most, so the index never has to grow.
    table.slots_.resize(slotCountFor(entries->size() + addedTokens.size()));
    Filler filler(table);
    for (const auto& [token, value] : *entries) {
        const auto id = value.integer();
        if (!id) continue;
        if (!isUsableTokenId(*id)) throw TokenizerError::malformedVocab();
        const std::size_t offset = table.texts_.size();
        platform::text::appendUtf8(table.texts_, token.value());
        filler.add(offset, static_cast<int32_t>(*id));
    }
    for (const auto& [content, id] : addedTokens) {
        if (!isUsableTokenId(id)) throw TokenizerError::malformedVocab();
        const std::size_t offset = table.texts_.size();
        table.texts_.append(content);
        filler.add(offset, static_cast<int32_t>(id));
    }
    filler.flush();
    // Of two texts with one id, the later one is kept.
    table.textOfId_.reserve(table.size_);
    for (const std::size_t index : filler.order()) {
        const Slot& slot = table.slots_[index];
        table.textOfId_.insertOrAssign(static_cast<uint64_t>(slot.id),
                                       static_cast<uint64_t>(slot.offset) << 32 | slot.length);
    }
    return table;
}

std::size_t TokenTable::slotIndex(std::string_view token, std::size_t hash) const {
    const std::size_t mask = slots_.size() - 1;
    const uint32_t print = fingerprint(hash);
    for (std::size_t index = hash & mask;; index = (index + 1) & mask) {
        const Slot& slot = slots_[index];
        if (slot.id == Slot::kFree) return index;
        if (slot.hash == print && slot.length == token.size() && textOf(slot.offset, slot.length) == token) return index;
    }
}

std::optional<int32_t> TokenTable::idInSlot(std::string_view token, std::size_t hash) const {
    const Slot& slot = slots_[slotIndex(token, hash)];
    if (slot.id == Slot::kFree) return std::nullopt;
    return slot.id;
}

std::optional<int32_t> TokenTable::id(std::string_view token) const {
    if (slots_.empty()) return std::nullopt;
    return idInSlot(token, hashOf(token));
}

void TokenTable::ids(std::span<const std::string_view> tokens, std::span<std::optional<int32_t>> found) const {
    if (slots_.empty()) {
        std::fill(found.begin(), found.end(), std::nullopt);
        return;
    }
    // First every slot of a batch is asked for, then the text each first slot
    // points at, and only then are the texts compared.
    constexpr std::size_t kBatch = 16;
    const std::size_t mask = slots_.size() - 1;
    std::size_t hashes[kBatch];
    for (std::size_t start = 0; start < tokens.size(); start += kBatch) {
        const std::size_t count = std::min(kBatch, tokens.size() - start);
        for (std::size_t k = 0; k < count; ++k) {
            hashes[k] = hashOf(tokens[start + k]);
            __builtin_prefetch(&slots_[hashes[k] & mask]);
        }
        for (std::size_t k = 0; k < count; ++k) {
            const Slot& slot = slots_[hashes[k] & mask];
            if (slot.id != Slot::kFree) __builtin_prefetch(texts_.data() + slot.offset);
        }
        for (std::size_t k = 0; k < count; ++k) found[start + k] = idInSlot(tokens[start + k], hashes[k]);
    }
}

std::optional<std::string_view> TokenTable::token(int64_t id) const {
    if (!isUsableTokenId(id)) return std::nullopt;
    const uint64_t* place = textOfId_.find(static_cast<uint64_t>(id));
    if (!place) return std::nullopt;
    return textOf(static_cast<uint32_t>(*place >> 32), static_cast<uint32_t>(*place));
}

} // namespace celvan
