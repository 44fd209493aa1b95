#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <type_traits>
#include <utility>

namespace platform {

// Shared handle on one task's cancellation state. Cancelling is one-way, safe
// from any thread, and reaches every token made from this one as a child; a
// child can also be cancelled on its own without touching its parent.
class CancellationToken {
public:
    CancellationToken();

    CancellationToken childToken() const;
    void cancel() const noexcept;
    bool isCancelled() const noexcept;

    // For waits that take a std::stop_token (condition_variable_any,
    // std::stop_callback).
    std::stop_token stopToken() const noexcept;

private:
    struct State;
    explicit CancellationToken(std::shared_ptr<State> state);

    std::shared_ptr<State> state_;
};

// The token of the task that runs on this thread; none outside of tasks.
std::optional<CancellationToken> currentCancellationToken();

// Makes a token the current one on this thread for the scope's lifetime and
// restores the previous one afterwards. Task and executor plumbing uses it.
class CancellationScope {
public:
    explicit CancellationScope(const CancellationToken& token);
    ~CancellationScope();
    CancellationScope(const CancellationScope&) = delete;
    CancellationScope& operator=(const CancellationScope&) = delete;

private:
    const CancellationToken* previous_;
};

// Whether the current task has been cancelled; false outside of tasks.
bool isCancelled();

// Throws CancellationError when the current task has been cancelled.
void checkCancellation();

// Runs `operation`; if the current task is cancelled meanwhile (or already
// was), `onCancel` runs at once on the cancelling thread, so it must be quick,
// thread-safe and must not throw. It never starts once `operation` has
// returned, and has finished by the time this function returns.
template <class Operation, class OnCancel>
std::invoke_result_t<Operation&> withTaskCancellationHandler(Operation&& operation, OnCancel&& onCancel) {
    std::optional<CancellationToken> token = currentCancellationToken();
    if (!token) return operation();
    std::stop_callback<std::function<void()>> handler(token->stopToken(),
                                                      std::function<void()>(std::forward<OnCancel>(onCancel)));
    return operation();
}

}  // namespace platform
