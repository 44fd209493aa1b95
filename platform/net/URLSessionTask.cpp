#include "platform/net/URLSessionTask.h"

namespace platform {

URLSessionTask::URLSessionTask(std::uint64_t taskIdentifier, URLRequest originalRequest)
    : taskIdentifier_(taskIdentifier), originalRequest_(std::move(originalRequest)) {}

void URLSessionTask::cancel() {
    State current = state_.load();
    do {
        if (current != State::running && current != State::suspended) return;
    } while (!state_.compare_exchange_weak(current, State::canceling));
    wakeUp();
}

void URLSessionTask::suspend() {
    State expected = State::running;
    state_.compare_exchange_strong(expected, State::suspended);
}

void URLSessionTask::resume() {
    State expected = State::suspended;
    if (state_.compare_exchange_strong(expected, State::running)) wakeUp();
}

void URLSessionTask::markCompleted() noexcept { state_.store(State::completed); }

void URLSessionTask::setWakeUp(std::function<void()> wakeUp) {
    std::lock_guard lock(wakeUpMutex_);
    wakeUp_ = std::move(wakeUp);
}

void URLSessionTask::wakeUp() {
    std::lock_guard lock(wakeUpMutex_);
    if (wakeUp_) wakeUp_();
}

}  // namespace platform
