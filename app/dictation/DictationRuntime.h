#pragma once

#include <chrono>
#include <functional>

namespace dictaro {

// Where the controller's work runs. The controller itself lives on the main
// actor; whatever blocks (reading the formatter's stream, the paste) runs in
// the background and hands its result back through `postToMain`.
struct DictationRuntime {
    // Undoes a schedule() that has not fired yet; harmless afterwards.
    using Cancel = std::function<void()>;

    std::function<void(std::function<void()>)> postToMain;
    std::function<void(std::function<void()>)> runInBackground;
    // Runs `job` on the main actor once `delay` has passed, unless cancelled.
    std::function<Cancel(std::chrono::milliseconds delay, std::function<void()> job)> schedule;

    // The application's main actor, the shared pool, and timers on the pool.
    static DictationRuntime standard();
};

}  // namespace dictaro
