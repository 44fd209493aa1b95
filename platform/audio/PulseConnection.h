#pragma once

#include <functional>
#include <string>

struct pa_threaded_mainloop;
struct pa_context;
struct pa_operation;

namespace platform::audio {

// A connection to the sound server on its own event thread. Never starts a
// server of its own.
class PulseConnection {
public:
    explicit PulseConnection(const std::string& clientName);
    ~PulseConnection();
    PulseConnection(const PulseConnection&) = delete;
    PulseConnection& operator=(const PulseConnection&) = delete;

    bool isConnected() const noexcept { return connected_; }
    pa_threaded_mainloop* mainloop() const noexcept { return mainloop_; }
    pa_context* context() const noexcept { return context_; }

    // Waits, holding the loop's lock, until the operation is done; drops it.
    void wait(pa_operation* operation) const;

private:
    pa_threaded_mainloop* mainloop_ = nullptr;
    pa_context* context_ = nullptr;
    bool connected_ = false;
};

// Holds the event loop's lock for a scope.
class PulseLock {
public:
    explicit PulseLock(const PulseConnection& connection);
    ~PulseLock();
    PulseLock(const PulseLock&) = delete;
    PulseLock& operator=(const PulseLock&) = delete;

private:
    pa_threaded_mainloop* mainloop_;
};

}  // namespace platform::audio
