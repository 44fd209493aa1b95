#pragma once

#include <memory>
#include <type_traits>
#include <utility>

#include "platform/concurrency/CancellationToken.h"
#include "platform/concurrency/TaskState.h"
#include "platform/concurrency/ThreadPool.h"

namespace platform {

// A unit of work started at once on the shared pool. It is unstructured: it
// gets a token of its own, cancelled only through cancel(), not by the task
// that created it (children of a TaskGroup are the ones that inherit).
// Dropping the handle neither cancels nor waits; copies share one task.
template <class T = void>
class Task {
public:
    template <class F>
        requires(std::is_invocable_r_v<T, F&> && !std::is_same_v<std::remove_cvref_t<F>, Task>)
    explicit Task(F&& body)
        : state_(std::make_shared<detail::TaskState<T>>(std::forward<F>(body), CancellationToken())) {
        ThreadPool::shared().submit([state = state_] { state->runIfUnclaimed(); });
    }

    // Waits for the body and returns its result or rethrows what it threw. A
    // body that has not started yet runs right here, so a pool thread waiting
    // on queued work never holds up the queue.
    T value() const {
        if (state_->claim()) {
            state_->runClaimed();
        } else {
            state_->wait();
        }
        return state_->result();
    }

    void cancel() const noexcept { state_->token().cancel(); }
    bool isCancelled() const noexcept { return state_->token().isCancelled(); }

private:
    std::shared_ptr<detail::TaskState<T>> state_;
};

template <class F>
Task(F) -> Task<std::invoke_result_t<F&>>;

}  // namespace platform
