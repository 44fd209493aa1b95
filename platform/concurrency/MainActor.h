#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <type_traits>
#include <utility>

#include "platform/concurrency/TaskState.h"

namespace platform {

// The serial executor of the application's main thread. Nothing runs its jobs
// but a call to drain() (the event loop's, or a test's), so they run on the
// draining thread, one at a time, in the order they were posted. Only one
// thread drains it. Jobs must not throw; one that does ends the program.
class MainActor {
public:
    static void post(std::function<void()> job);

    // Runs `body` on the main actor and waits for a drain to run it, returning
    // its result or rethrowing what it threw. On the draining thread itself it
    // runs in place.
    template <class F>
    static std::invoke_result_t<F&> run(F&& body) {
        if (isCurrent()) return body();
        return detail::postAndWait([](std::function<void()> job) { post(std::move(job)); }, std::forward<F>(body));
    }

    // Runs every queued job, including those posted while draining, and
    // returns how many ran.
    static std::size_t drain();

    // Waits up to `timeout` for a first job, then drains.
    static std::size_t waitAndDrain(std::chrono::milliseconds timeout);

    // Whether the calling thread is draining the main actor right now.
    static bool isCurrent() noexcept;
};

}  // namespace platform
