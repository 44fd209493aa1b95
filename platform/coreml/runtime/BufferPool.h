#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>

namespace platform::coreml::runtime {

// Intermediate buffers of a model, reused from one prediction to the next: a
// buffer goes back to the pool when the last tensor using it is dropped.
class BufferPool {
public:
    BufferPool();
    // At least `bytes` bytes, 64-byte aligned, contents unspecified.
    std::shared_ptr<std::byte> acquire(size_t bytes);
    // Gives idle large buffers back to the system, the largest first, until
    // at most `bytes` of them remain; small ones are always kept. A model
    // between predictions would otherwise go on holding the largest set of
    // intermediates it ever had alive at once.
    void keepLargeAtMost(size_t bytes);
    size_t bytesHeld() const;

private:
    struct State {
        mutable std::mutex mutex;
        std::multimap<size_t, std::byte*> free;
        size_t held = 0;
        ~State();
    };
    std::shared_ptr<State> state_;
};

}  // namespace platform::coreml::runtime
