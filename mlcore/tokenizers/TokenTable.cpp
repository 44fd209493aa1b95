#include "mlcore/tokenizers/TokenTable.h"

#include "mlcore/tokenizers/TokenizerError.h"
#include "platform/text/Utf.h"

#include <functional>
#include <limits>

namespace celvan {
namespace {

constexpr uint64_t kEntryBits = 0xFFFFFFFFULL;

std::size_t hashOf(std::string_view text) { return std::hash<std::string_view>()(text); }

uint64_t fingerprint(std::size_t hash) { return static_cast<uint64_t>(hash) >> 32 << 32; }

// At most half full, so that probe runs stay short.
std::size_t slotCountFor(std::size_t count) {
    std::size_t slots = 64;
    while (slots < count * 2) slots *= 2;
    return slots;
}

} // namespace

TokenTable TokenTable::fromVocabulary(const Config& vocab, const AddedTokenIds& addedTokens) {
    const auto* entries = vocab.dictionary();
    if (!entries) throw TokenizerError::missingVocab();
    TokenTable table;
    table.entries_.reserve(entries->size() + addedTokens.size());
    table.slots_.assign(slotCountFor(entries->size() + addedTokens.size()), 0);
    for (const auto& [token, value] : *entries) {
        const auto id = value.integer();
        if (!id) continue;
        if (!isUsableTokenId(*id)) throw TokenizerError::malformedVocab();
        const std::size_t offset = table.texts_.size();
        platform::text::appendUtf8(table.texts_, token.value());
        table.insertPending(offset, static_cast<int32_t>(*id));
    }
    for (const auto& [content, id] : addedTokens) {
        if (!isUsableTokenId(id)) throw TokenizerError::malformedVocab();
        const std::size_t offset = table.texts_.size();
        table.texts_.append(content);
        table.insertPending(offset, static_cast<int32_t>(id));
    }
    table.entryOfId_.reserve(table.entries_.size());
    for (std::size_t index = 0; index < table.entries_.size(); ++index) {
        table.entryOfId_.insertOrAssign(static_cast<uint64_t>(table.entries_[index].id), static_cast<uint32_t>(index));
    }
    return table;
}

void TokenTable::insertPending(std::size_t offset, int32_t id) {
    if (texts_.size() > std::numeric_limits<uint32_t>::max()) throw TokenizerError::malformedVocab();
    const std::string_view text(texts_.data() + offset, texts_.size() - offset);
    const std::size_t hash = hashOf(text);
    std::size_t slot = findSlot(text, hash);
    if (slots_[slot] != 0) {
        entries_[(slots_[slot] & kEntryBits) - 1].id = id;
        texts_.resize(offset);
        return;
    }
    entries_.push_back({static_cast<uint32_t>(offset), static_cast<uint32_t>(text.size()), id});
    slots_[slot] = fingerprint(hash) | entries_.size();
    if (entries_.size() * 2 > slots_.size()) grow();
}

std::size_t TokenTable::findSlot(std::string_view token, std::size_t hash) const {
    const std::size_t mask = slots_.size() - 1;
    const uint64_t print = fingerprint(hash);
    for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
        const uint64_t content = slots_[slot];
        if (content == 0) return slot;
        if ((content & ~kEntryBits) == print && textOf(entries_[(content & kEntryBits) - 1]) == token) return slot;
    }
}

void TokenTable::grow() {
    std::vector<uint64_t> old(slots_.size() * 2);
    old.swap(slots_);
    const std::size_t mask = slots_.size() - 1;
    for (const uint64_t content : old) {
        if (content == 0) continue;
        std::size_t slot = hashOf(textOf(entries_[(content & kEntryBits) - 1])) & mask;
        while (slots_[slot] != 0) slot = (slot + 1) & mask;
        slots_[slot] = content;
    }
}

std::optional<int32_t> TokenTable::id(std::string_view token) const {
    if (slots_.empty()) return std::nullopt;
    const uint64_t content = slots_[findSlot(token, hashOf(token))];
    if (content == 0) return std::nullopt;
    return entries_[(content & kEntryBits) - 1].id;
}

std::optional<std::string_view> TokenTable::token(int64_t id) const {
    if (!isUsableTokenId(id)) return std::nullopt;
    const uint32_t* entry = entryOfId_.find(static_cast<uint64_t>(id));
    if (!entry) return std::nullopt;
    return textOf(entries_[*entry]);
}

} // namespace celvan
