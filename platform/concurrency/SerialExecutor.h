#pragma once

#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

#include "platform/concurrency/TaskState.h"

namespace platform {

// A queue that runs its jobs one at a time, in the order they were posted, on
// the shared pool (a serial dispatch queue). Copies share one queue; jobs
// already posted still run after the last copy is gone. Jobs must not throw;
// one that does ends the program.
class SerialExecutor {
public:
    explicit SerialExecutor(std::string label = {});

    const std::string& label() const noexcept;

    void post(std::function<void()> job) const;

    // Runs `body` on this executor and waits for it, returning its result or
    // rethrowing what it threw; the caller's task stays current, so the body
    // sees the caller's cancellation. Called from a job of this same
    // executor, it runs in place.
    template <class F>
    std::invoke_result_t<F&> run(F&& body) const {
        if (isCurrent()) return body();
        return detail::postAndWait([this](std::function<void()> job) { post(std::move(job)); }, std::forward<F>(body));
    }

    // Whether the calling thread is running a job of this executor.
    bool isCurrent() const noexcept;

private:
    struct Queue;
    std::shared_ptr<Queue> queue_;
};

}  // namespace platform
