#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "platform/concurrency/AsyncStream.h"

namespace celvan {

// Hands every state to any number of subscribers. A subscriber first hears
// the latest state (or, before any, the initial one), so it never waits for
// the next change to learn where things stand. Streams are never finished
// here: each consumer decides when it has heard enough.
template <class T>
class Broadcaster {
public:
    using InitialState = std::function<std::optional<T>()>;

    explicit Broadcaster(InitialState initialState) : core_(std::make_shared<Core>(std::move(initialState))) {}

    // Drops every subscriber without finishing its stream.
    ~Broadcaster() {
        std::lock_guard lock(core_->mutex);
        core_->continuations.clear();
    }

    Broadcaster(const Broadcaster&) = delete;
    Broadcaster& operator=(const Broadcaster&) = delete;

    // The subscriber is registered before this returns, so any later
    // broadcast reaches it.
    platform::AsyncStream<T> subscribe() {
        std::optional<T> initial;
        bool needsInitial = false;
        {
            std::lock_guard lock(core_->mutex);
            needsInitial = !core_->latestState.has_value();
        }
        // Asked outside the lock: the closure is the owner's code.
        if (needsInitial) initial = core_->initialState();

        auto [stream, continuation] = platform::AsyncStream<T>::makeStream();
        uint64_t key = 0;
        {
            std::lock_guard lock(core_->mutex);
            key = core_->nextKey++;
            core_->continuations.emplace(key, continuation);
            if (core_->latestState) {
                continuation.yield(*core_->latestState);
            } else if (initial) {
                continuation.yield(std::move(*initial));
            }
        }
        std::weak_ptr<Core> weakCore = core_;
        continuation.setOnTermination([weakCore, key](typename platform::AsyncStream<T>::Termination) {
            if (auto core = weakCore.lock()) {
                std::lock_guard lock(core->mutex);
                core->continuations.erase(key);
            }
        });
        return std::move(stream);
    }

    void broadcast(T state) {
        std::lock_guard lock(core_->mutex);
        core_->latestState = state;
        for (const auto& [key, continuation] : core_->continuations) continuation.yield(state);
    }

    std::size_t subscriberCount() const {
        std::lock_guard lock(core_->mutex);
        return core_->continuations.size();
    }

private:
    struct Core {
        explicit Core(InitialState initial) : initialState(std::move(initial)) {}

        const InitialState initialState;
        mutable std::mutex mutex;
        std::optional<T> latestState;
        std::map<uint64_t, typename platform::AsyncStream<T>::Continuation> continuations;
        uint64_t nextKey = 0;
    };

    // Shared with the streams' termination handlers, which may outlive us.
    std::shared_ptr<Core> core_;
};

}  // namespace celvan
