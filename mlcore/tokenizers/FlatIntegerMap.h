#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace celvan {

// A hash map from 64-bit keys to small values kept in one array with linear
// probing: a lookup touches one or two cache lines and building it allocates
// a handful of times instead of once per entry, which is what hundreds of
// thousands of merges and ids need. The key kNoKey is reserved.
template <class Value>
class FlatIntegerMap {
public:
    static constexpr uint64_t kNoKey = ~uint64_t{0};

    void reserve(std::size_t count) {
        if (count * 2 > slots_.size()) rehash(capacityFor(count));
    }

    void insertOrAssign(uint64_t key, const Value& value) {
        if ((size_ + 1) * 2 > slots_.size()) rehash(capacityFor(size_ + 1));
        Slot& slot = slotOf(key);
        if (slot.key == kNoKey) {
            slot.key = key;
            ++size_;
        }
        slot.value = value;
    }

    const Value* find(uint64_t key) const {
        if (slots_.empty()) return nullptr;
        for (std::size_t index = spread(key) & mask();; index = (index + 1) & mask()) {
            const Slot& slot = slots_[index];
            if (slot.key == key) return &slot.value;
            if (slot.key == kNoKey) return nullptr;
        }
    }

    // Starts loading the key's first slot, so that a batch of lookups or
    // inserts waits for memory once rather than once per key.
    void prefetch(uint64_t key) const {
        if (!slots_.empty()) __builtin_prefetch(&slots_[spread(key) & mask()]);
    }

    std::size_t size() const { return size_; }

private:
    struct Slot {
        uint64_t key = kNoKey;
        Value value{};
    };

    // At most half full, so that probe runs stay short.
    static std::size_t capacityFor(std::size_t count) {
        std::size_t capacity = 16;
        while (capacity < count * 2) capacity *= 2;
        return capacity;
    }

    // Ids are small consecutive numbers; mixing spreads them over the table.
    static std::size_t spread(uint64_t key) {
        key ^= key >> 33;
        key *= 0xff51afd7ed558ccdULL;
        key ^= key >> 33;
        return static_cast<std::size_t>(key);
    }

    std::size_t mask() const { return slots_.size() - 1; }

    Slot& slotOf(uint64_t key) {
        for (std::size_t index = spread(key) & mask();; index = (index + 1) & mask()) {
            Slot& slot = slots_[index];
            if (slot.key == key || slot.key == kNoKey) return slot;
        }
    }

    void rehash(std::size_t capacity) {
        std::vector<Slot> old(capacity);
        old.swap(slots_);
        for (const Slot& slot : old) {
            if (slot.key != kNoKey) slotOf(slot.key) = slot;
        }
    }

    std::vector<Slot> slots_;
    std::size_t size_ = 0;
};

} // namespace celvan
