#include "app/dictation/DictationRuntime.h"

#include <atomic>
#include <memory>
#include <utility>

#include "platform/concurrency/CancellationError.h"
#include "platform/concurrency/MainActor.h"
#include "platform/concurrency/Sleep.h"
#include "platform/concurrency/Task.h"

namespace dictaro {

DictationRuntime DictationRuntime::standard() {
    DictationRuntime runtime;
    runtime.postToMain = [](std::function<void()> job) { platform::MainActor::post(std::move(job)); };
    runtime.runInBackground = [](std::function<void()> job) { platform::Task<void> task(std::move(job)); };
    runtime.schedule = [](std::chrono::milliseconds delay, std::function<void()> job) -> Cancel {
        // A cancel that comes after the timer fired but before the main actor
        // ran the job must still hold it back.
        auto cancelled = std::make_shared<std::atomic<bool>>(false);
        platform::Task<void> timer([delay, cancelled, job = std::move(job)]() mutable {
            try {
                platform::sleep(delay);
            } catch (const platform::CancellationError&) {
                return;
            }
            platform::MainActor::post([cancelled, job = std::move(job)] {
                if (!cancelled->load()) job();
            });
        });
        return [cancelled, timer] {
            cancelled->store(true);
            timer.cancel();
        };
    };
    return runtime;
}

}  // namespace dictaro
