#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

#include "platform/net/URLRequest.h"

namespace platform {

// One request in flight in a session. Any thread may cancel it; the thread
// that runs the transfer notices within a few milliseconds and fails it with
// URLError cancelled. Any thread may also suspend it: its transfer then
// reads nothing more, holding the server back through the connection, until
// it is resumed or cancelled.
class URLSessionTask {
public:
    enum class State { running, suspended, canceling, completed };

    URLSessionTask(std::uint64_t taskIdentifier, URLRequest originalRequest);

    std::uint64_t taskIdentifier() const noexcept { return taskIdentifier_; }
    const URLRequest& originalRequest() const noexcept { return originalRequest_; }
    State state() const noexcept { return state_.load(); }
    void cancel();
    // Each changes a running task, or a suspended one, only.
    void suspend();
    void resume();

    // For the session's transfer machinery.
    bool isCancelRequested() const noexcept { return state_.load() == State::canceling; }
    bool isSuspended() const noexcept { return state_.load() == State::suspended; }
    void markCompleted() noexcept;
    void setWakeUp(std::function<void()> wakeUp);

private:
    void wakeUp();

    std::uint64_t taskIdentifier_;
    URLRequest originalRequest_;
    std::atomic<State> state_{State::running};
    std::mutex wakeUpMutex_;
    std::function<void()> wakeUp_;
};

}  // namespace platform
