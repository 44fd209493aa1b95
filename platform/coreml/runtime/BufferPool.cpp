#include "platform/coreml/runtime/BufferPool.h"

#include <iterator>
#include <utility>
#include <vector>

#include "platform/coreml/runtime/MemoryBlock.h"

namespace platform::coreml::runtime {

BufferPool::BufferPool() : state_(std::make_shared<State>()) {}

BufferPool::State::~State() {
    for (auto& [size, buffer] : free) releaseBlock(buffer, size);
}

std::shared_ptr<std::byte> BufferPool::acquire(size_t bytes) {
    const size_t size = (bytes + 63) / 64 * 64 + 64;
    std::byte* buffer = nullptr;
    {
        std::lock_guard lock(state_->mutex);
        if (auto found = state_->free.find(size); found != state_->free.end()) {
            buffer = found->second;
            state_->free.erase(found);
            state_->held -= size;
        }
    }
    if (!buffer) {
        buffer = allocateBlock(size);
    }
    std::weak_ptr<State> owner = state_;
    return std::shared_ptr<std::byte>(buffer, [owner, size](std::byte* released) {
        if (auto state = owner.lock()) {
            std::lock_guard lock(state->mutex);
            state->free.emplace(size, released);
            state->held += size;
        } else {
            releaseBlock(released, size);
        }
    });
}

void BufferPool::keepLargeAtMost(size_t bytes) {
    std::vector<std::pair<size_t, std::byte*>> released;
    {
        std::lock_guard lock(state_->mutex);
        auto& free = state_->free;
        size_t large = 0;
        for (auto it = free.lower_bound(kLargeBlock); it != free.end(); ++it) large += it->first;
        while (large > bytes) {
            const auto largest = std::prev(free.end());
            released.push_back(*largest);
            large -= largest->first;
            state_->held -= largest->first;
            free.erase(largest);
        }
    }
    for (auto& [size, buffer] : released) releaseBlock(buffer, size);
}

size_t BufferPool::bytesHeld() const {
    std::lock_guard lock(state_->mutex);
    return state_->held;
}

}  // namespace platform::coreml::runtime
