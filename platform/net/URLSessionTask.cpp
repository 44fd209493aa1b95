#include "platform/net/URLSessionTask.h"

namespace platform {

URLSessionTask::URLSessionTask(std::uint64_t taskIdentifier, URLRequest originalRequest)
    : taskIdentifier_(taskIdentifier), originalRequest_(std::move(originalRequest)) {}

void URLSessionTask::cancel() {
    State expected = State::running;
    if (!state_.compare_exchange_strong(expected, State::canceling)) {
        return;
    }
    std::lock_guard lock(wakeUpMutex_);
    if (wakeUp_) {
        wakeUp_();
    }
}

void URLSessionTask::markCompleted() noexcept { state_.store(State::completed); }

void URLSessionTask::setWakeUp(std::function<void()> wakeUp) {
    std::lock_guard lock(wakeUpMutex_);
    wakeUp_ = std::move(wakeUp);
}

}  // namespace platform
