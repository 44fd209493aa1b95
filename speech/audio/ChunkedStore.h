#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <vector>

namespace sonoscribe {

// Values kept in chunks of a fixed size that never move once made, so that
// an append never copies what is stored, and a reader can take the chunks it
// needs under its owner's lock and copy from them after letting it go: a
// value below the size the reader saw is never written again, and chunks
// dropped by clear() live on while a reader still holds them.
template <class T>
class ChunkedStore {
public:
    // Values of the store, held by their chunks.
    class Range {
    public:
        std::size_t size() const noexcept { return count_; }

        // Calls visit(values, count) for each stretch of consecutive values.
        template <class Visit>
        void forEach(Visit&& visit) const {
            std::size_t offset = first_;
            std::size_t left = count_;
            for (const auto& chunk : chunks_) {
                const std::size_t n = std::min(left, chunkSize_ - offset);
                visit(chunk.get() + offset, n);
                left -= n;
                offset = 0;
            }
        }
        std::vector<T> values() const {
            std::vector<T> copied;
            copied.reserve(count_);
            forEach([&](const T* values, std::size_t n) { copied.insert(copied.end(), values, values + n); });
            return copied;
        }

    private:
        friend class ChunkedStore;
        std::vector<std::shared_ptr<const T[]>> chunks_;
        std::size_t chunkSize_ = 1;
        std::size_t first_ = 0;
        std::size_t count_ = 0;
    };

    explicit ChunkedStore(std::size_t chunkSize) : chunkSize_(std::max<std::size_t>(chunkSize, 1)) {}

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    const T& operator[](std::size_t index) const { return chunks_[index / chunkSize_][index % chunkSize_]; }

    void append(const T* values, std::size_t count) {
        while (count > 0) {
            if (size_ == chunks_.size() * chunkSize_) chunks_.push_back(std::make_shared_for_overwrite<T[]>(chunkSize_));
            const std::size_t offset = size_ % chunkSize_;
            const std::size_t n = std::min(count, chunkSize_ - offset);
            std::copy(values, values + n, chunks_.back().get() + offset);
            size_ += n;
            values += n;
            count -= n;
        }
    }
    void push_back(const T& value) { append(&value, 1); }
    void assign(const std::vector<T>& values) {
        clear();
        append(values.data(), values.size());
    }
    void clear() {
        chunks_.clear();
        size_ = 0;
    }

    // Values from ..< to, clamped to the store.
    Range range(std::size_t from, std::size_t to) const {
        Range range;
        to = std::min(to, size_);
        from = std::min(from, to);
        range.chunkSize_ = chunkSize_;
        range.first_ = from % chunkSize_;
        range.count_ = to - from;
        if (range.count_ == 0) return range;
        for (std::size_t chunk = from / chunkSize_; chunk <= (to - 1) / chunkSize_; ++chunk) {
            range.chunks_.push_back(chunks_[chunk]);
        }
        return range;
    }
    Range all() const { return range(0, size_); }

private:
    std::size_t chunkSize_;
    std::size_t size_ = 0;
    std::vector<std::shared_ptr<T[]>> chunks_;
};

}  // namespace sonoscribe
