#include "mlcore/foundation/Logging.h"

#include "platform/foundation/ProcessInfo.h"

#include <cmath>
#include <cstdio>

namespace celvan {
namespace {

using platform::log::LogType;

// Processes here carry no bundle identifier, so the core's own name is the
// subsystem.
constexpr const char* kSubsystem = "com.celvan.celvancore";
constexpr const char* kCategory = "Celvan";

Logging::LogLevel levelOf(LogType type) {
    switch (type) {
    case LogType::debug: return Logging::LogLevel::debug;
    case LogType::error:
    case LogType::fault: return Logging::LogLevel::error;
    case LogType::info:
    case LogType::defaultType: return Logging::LogLevel::info;
    }
    return Logging::LogLevel::info;
}

bool admits(Logging::LogLevel current, Logging::LogLevel level) {
    return current != Logging::LogLevel::none && !(level < current);
}

} // namespace

std::optional<Logging::LogLevel> Logging::logLevelFromRawValue(int rawValue) {
    if (rawValue < 1 || rawValue > 4) return std::nullopt;
    return static_cast<LogLevel>(rawValue);
}

Logging::Logging() : logger_(kSubsystem, kCategory) {}

Logging& Logging::shared() {
    static Logging instance;
    return instance;
}

Logging::LogLevel Logging::logLevel() const {
    std::lock_guard guard(lock_);
    return state_.logLevel;
}

void Logging::setLogLevel(LogLevel level) {
    std::lock_guard guard(lock_);
    state_.logLevel = level;
}

Logging::Callback Logging::loggingCallback() const {
    std::lock_guard guard(lock_);
    return state_.loggingCallback;
}

void Logging::setLoggingCallback(Callback callback) {
    std::lock_guard guard(lock_);
    state_.loggingCallback = std::move(callback);
}

std::pair<bool, Logging::Callback> Logging::admit(LogType type) const {
    LogLevel current;
    Callback callback;
    {
        std::lock_guard guard(lock_);
        current = state_.logLevel;
        if (!admits(current, levelOf(type))) return {false, nullptr};
        callback = state_.loggingCallback;
    }
    return {true, std::move(callback)};
}

void Logging::deliver(LogType type, const std::string& message, const Callback& callback) const {
    // Outside the lock, so a callback may log again.
    if (callback) {
        callback(message);
        return;
    }
    logger_.log(type, message);
}

void Logging::updateLogLevel(LogLevel level) {
    shared().setLogLevel(level);
}

void Logging::updateCallback(Callback callback) {
    shared().setLoggingCallback(std::move(callback));
}

bool Logging::isLoggingEnabled() {
    return shared().logLevel() != LogLevel::none;
}

bool Logging::isLoggingEnabled(LogLevel level) {
    return admits(shared().logLevel(), level);
}

uint64_t Logging::getMemoryUsage() {
    return platform::ProcessInfo::residentMemoryBytes().value_or(0) >> 20;
}

void Logging::logCurrentMemoryUsage(const std::string& message) {
    const uint64_t megabytes = getMemoryUsage();
    shared().log(LogType::debug, " ", std::nullopt, message + " - Memory usage: " + std::to_string(megabytes) + " MB");
}

std::string Logging::formatTimeWithPercentage(double time, double runs, double fullPipelineDuration) {
    const double milliseconds = time * 1000;
    const double perRun = runs > 0 ? milliseconds / runs : 0;
    double share = milliseconds / fullPipelineDuration * 100;
    // 0/0 yields a NaN with the sign bit set on this hardware; the column
    // should read "nan" wherever the figures were taken.
    if (std::isnan(share)) share = std::fabs(share);
    char buffer[128];
    std::snprintf(buffer, sizeof buffer, "%8.2f ms / %6.0f runs (%8.2f ms/run) %5.2f%%", milliseconds, runs, perRun,
                  share);
    return buffer;
}

} // namespace celvan
