#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <utility>

#include "platform/concurrency/CancellationToken.h"
#include "platform/concurrency/ThreadPool.h"

namespace platform {

// A sequence of values handed from producers (through a Continuation) to a
// consumer that blocks in next(). The buffer is unbounded, so yielding never
// blocks. The stream ends when a producer calls finish() (after the buffered
// values have been read), or at once when the consumer's task is cancelled
// while it reads, or when every copy of the stream has been dropped; the
// termination handler hears which, exactly once.
template <class T>
class AsyncStream {
    struct State;

public:
    enum class Termination { finished, cancelled };
    enum class YieldResult { enqueued, terminated };

    class Continuation {
    public:
        // After the end, the value is dropped and `terminated` returned.
        YieldResult yield(T value) const { return state_->yield(std::move(value)); }
        void finish() const { state_->end(Termination::finished); }
        // Runs at once when the stream has already ended.
        void setOnTermination(std::function<void(Termination)> handler) const {
            state_->setOnTermination(std::move(handler));
        }

    private:
        friend class AsyncStream;
        explicit Continuation(std::shared_ptr<State> state) : state_(std::move(state)) {}
        std::shared_ptr<State> state_;
    };

    // `build` runs before the constructor returns, typically to hand the
    // continuation to a producer.
    template <class Build>
        requires std::is_invocable_v<Build&, Continuation>
    explicit AsyncStream(Build&& build) : AsyncStream(std::make_shared<State>()) {
        build(Continuation(consumer_->state));
    }

    static std::pair<AsyncStream, Continuation> makeStream() {
        AsyncStream stream(std::make_shared<State>());
        Continuation continuation(stream.consumer_->state);
        return {std::move(stream), std::move(continuation)};
    }

    // The next value, waiting for one if need be; none at the end. Called in
    // a cancelled task it ends the stream and returns none right away.
    std::optional<T> next() {
        State& state = *consumer_->state;
        std::optional<CancellationToken> token = currentCancellationToken();
        if (!token) return state.take(nullptr);
        if (token->isCancelled()) {
            state.end(Termination::cancelled);
            return std::nullopt;
        }
        std::stop_token stop = token->stopToken();
        return state.take(&stop);
    }

    class Iterator {
    public:
        using iterator_category = std::input_iterator_tag;
        using value_type = T;
        using difference_type = std::ptrdiff_t;

        Iterator() = default;
        explicit Iterator(AsyncStream* stream) : stream_(stream), current_(stream->next()) {}

        T& operator*() { return *current_; }
        T* operator->() { return &*current_; }
        Iterator& operator++() {
            current_ = stream_->next();
            return *this;
        }
        void operator++(int) { ++*this; }
        bool operator==(std::default_sentinel_t) const { return !current_; }

    private:
        AsyncStream* stream_ = nullptr;
        std::optional<T> current_;
    };

    Iterator begin() { return Iterator(this); }
    std::default_sentinel_t end() { return {}; }

private:
    struct State {
        YieldResult yield(T value) {
            {
                std::lock_guard lock(mutex);
                if (ended) return YieldResult::terminated;
                buffer.push_back(std::move(value));
            }
            changed.notify_one();
            return YieldResult::enqueued;
        }

        void end(Termination how) {
            std::function<void(Termination)> handler;
            std::deque<T> dropped;
            {
                std::lock_guard lock(mutex);
                if (how == Termination::cancelled) {
                    cancelled = true;
                    dropped.swap(buffer);
                }
                if (!ended) {
                    ended = true;
                    handler = std::move(onTermination);
                }
            }
            changed.notify_all();
            if (handler) handler(how);
        }

        void setOnTermination(std::function<void(Termination)> handler) {
            Termination how;
            {
                std::lock_guard lock(mutex);
                if (!ended) {
                    onTermination = std::move(handler);
                    return;
                }
                how = cancelled ? Termination::cancelled : Termination::finished;
            }
            if (handler) handler(how);
        }

        std::optional<T> take(const std::stop_token* stop) {
            {
                std::lock_guard lock(mutex);
                if (std::optional<T> value = popLocked(); value || ended) return value;
            }
            // Registered outside the lock: the callback takes it, and runs
            // right here if the task was cancelled in the meantime.
            std::optional<std::stop_callback<CancelOnStop>> onCancel;
            if (stop) onCancel.emplace(*stop, CancelOnStop{this});
            ThreadPool::BlockingScope blocking;
            std::unique_lock lock(mutex);
            changed.wait(lock, [this] { return !buffer.empty() || ended; });
            return popLocked();
        }

        std::optional<T> popLocked() {
            if (cancelled || buffer.empty()) return std::nullopt;
            T value = std::move(buffer.front());
            buffer.pop_front();
            return value;
        }

        struct CancelOnStop {
            State* state;
            void operator()() noexcept { state->end(Termination::cancelled); }
        };

        std::mutex mutex;
        std::condition_variable changed;
        std::deque<T> buffer;
        bool ended = false;
        bool cancelled = false;
        std::function<void(Termination)> onTermination;
    };

    // Shared by the copies of one stream; the last copy to go ends it.
    struct Consumer {
        explicit Consumer(std::shared_ptr<State> s) : state(std::move(s)) {}
        ~Consumer() { state->end(Termination::cancelled); }
        std::shared_ptr<State> state;
    };

    explicit AsyncStream(std::shared_ptr<State> state) : consumer_(std::make_shared<Consumer>(std::move(state))) {}

    std::shared_ptr<Consumer> consumer_;
};

}  // namespace platform
