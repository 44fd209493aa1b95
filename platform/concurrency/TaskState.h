#pragma once

#include <atomic>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include "platform/concurrency/CancellationToken.h"
#include "platform/concurrency/ThreadPool.h"

namespace platform::detail {

// What a task of result T keeps: std::monostate stands in for void.
template <class T>
using Stored = std::conditional_t<std::is_void_v<T>, std::monostate, T>;

// The shared state of one unit of work: its body, its token, and, once it has
// run, its result or the exception it threw. Exactly one thread runs the body:
// the one that claims it first (a pool worker, or a waiter running it inline).
template <class T>
class TaskState {
public:
    template <class F>
    TaskState(F&& body, CancellationToken token)
        : body_(std::make_unique<BodyOf<std::decay_t<F>>>(std::forward<F>(body))), token_(std::move(token)) {}

    const CancellationToken& token() const noexcept { return token_; }

    bool claim() noexcept { return !claimed_.exchange(true, std::memory_order_acq_rel); }

    void runClaimed() noexcept {
        {
            CancellationScope scope(token_);
            try {
                if constexpr (std::is_void_v<T>) {
                    body_->invoke();
                    result_.emplace();
                } else {
                    result_.emplace(body_->invoke());
                }
            } catch (...) {
                error_ = std::current_exception();
            }
            // The captures go before anyone sees the result, so whatever they
            // held is released by the time a waiter proceeds.
            body_.reset();
        }
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        finished_.notify_all();
    }

    void runIfUnclaimed() noexcept {
        if (claim()) runClaimed();
    }

    void wait() {
        {
            std::lock_guard lock(mutex_);
            if (done_) return;
        }
        ThreadPool::BlockingScope blocking;
        std::unique_lock lock(mutex_);
        finished_.wait(lock, [this] { return done_; });
    }

    // Only after wait() or runClaimed() has returned on this thread.
    T result() const {
        if (error_) std::rethrow_exception(error_);
        if constexpr (!std::is_void_v<T>) return *result_;
    }

    Stored<T> takeResult() {
        if (error_) std::rethrow_exception(error_);
        return std::move(*result_);
    }

private:
    struct Body {
        virtual ~Body() = default;
        virtual T invoke() = 0;
    };
    template <class F>
    struct BodyOf final : Body {
        explicit BodyOf(F&& f) : function(std::move(f)) {}
        explicit BodyOf(const F& f) : function(f) {}
        T invoke() override { return function(); }
        F function;
    };

    std::unique_ptr<Body> body_;
    const CancellationToken token_;
    std::atomic<bool> claimed_{false};
    std::mutex mutex_;
    std::condition_variable finished_;
    bool done_ = false;
    std::optional<Stored<T>> result_;
    std::exception_ptr error_;
};

// Hands `body` to an executor through `post` and waits for it to run there,
// with the caller's task still current so that it sees the caller's
// cancellation.
template <class Post, class F>
std::invoke_result_t<F&> postAndWait(Post&& post, F&& body) {
    using R = std::invoke_result_t<F&>;
    std::optional<CancellationToken> caller = currentCancellationToken();
    auto state = std::make_shared<TaskState<R>>(std::forward<F>(body), caller ? *caller : CancellationToken());
    post([state] { state->runIfUnclaimed(); });
    state->wait();
    return state->result();
}

}  // namespace platform::detail
