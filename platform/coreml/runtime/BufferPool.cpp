#include "platform/coreml/runtime/BufferPool.h"

#include <cstdlib>
#include <new>

namespace platform::coreml::runtime {

BufferPool::BufferPool() : state_(std::make_shared<State>()) {}

BufferPool::State::~State() {
    for (auto& [size, buffer] : free) std::free(buffer);
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
        buffer = static_cast<std::byte*>(std::aligned_alloc(64, size));
        if (!buffer) throw std::bad_alloc();
    }
    std::weak_ptr<State> owner = state_;
    return std::shared_ptr<std::byte>(buffer, [owner, size](std::byte* released) {
        if (auto state = owner.lock()) {
            std::lock_guard lock(state->mutex);
            state->free.emplace(size, released);
            state->held += size;
        } else {
            std::free(released);
        }
    });
}

size_t BufferPool::bytesHeld() const {
    std::lock_guard lock(state_->mutex);
    return state_->held;
}

}  // namespace platform::coreml::runtime
