#pragma once

#include "platform/log/SystemLog.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string_view>

namespace platform::log {

struct SignpostID {
    uint64_t value = 0;
    friend bool operator==(SignpostID, SignpostID) = default;
};

enum class SignpostEventKind { intervalBegin, intervalEnd };

struct SignpostEvent {
    SignpostEventKind kind;
    std::string_view subsystem;
    std::string_view category;
    std::string_view name;
    SignpostID id;
    std::string_view message;
};

// Receives signpost events; while none is installed, signposts are
// disabled and cost one check.
class TraceSink {
public:
    virtual ~TraceSink() = default;
    // Called from any thread, possibly at the same time.
    virtual void record(const SignpostEvent& event) = 0;
};

// Installs a trace sink (or, with an empty pointer, none) and returns the
// previous one.
std::shared_ptr<TraceSink> setTraceSink(std::shared_ptr<TraceSink> sink);

// An open interval. Copies share one state, so an interval ended through
// any copy counts as ended for all of them.
class SignpostIntervalState {
public:
    explicit SignpostIntervalState(SignpostID id);
    SignpostID id() const { return id_; }
    bool isEnded() const { return ended_->load(); }

private:
    friend class Signposter;
    SignpostID id_;
    std::shared_ptr<std::atomic<bool>> ended_;
};

class Signposter {
public:
    explicit Signposter(Logger logger);

    const Logger& logger() const { return logger_; }
    bool isEnabled() const;
    SignpostID makeSignpostID();

    // Returns an open state whether or not the event is emitted.
    SignpostIntervalState beginInterval(std::string_view name, SignpostID id, std::string_view message = {});
    // Ending an interval a second time emits the end again, with the message
    // "[Error] Interval already ended". Disabled, it does nothing at all.
    void endInterval(std::string_view name, const SignpostIntervalState& state, std::string_view message = {});

private:
    Logger logger_;
};

} // namespace platform::log
