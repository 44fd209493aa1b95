#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace platform::log {

// The system log's message types, lowest to highest.
enum class LogType { debug, info, defaultType, error, fault };

struct LogMessage {
    std::string_view subsystem;
    std::string_view category;
    LogType type;
    std::string_view text;
};

// Where log messages go. The process has one; tests install their own.
class LogSink {
public:
    virtual ~LogSink() = default;
    virtual bool isEnabled(std::string_view subsystem, std::string_view category, LogType type) const = 0;
    // Called from any thread, possibly at the same time.
    virtual void write(const LogMessage& message) = 0;
};

// syslog(3), with subsystem and category in front of each message. A type
// is enabled when the process's log mask lets its priority through.
class SyslogSink final : public LogSink {
public:
    bool isEnabled(std::string_view subsystem, std::string_view category, LogType type) const override;
    void write(const LogMessage& message) override;
};

// Replaces the process's sink and returns the previous one; an empty
// pointer puts the system log back.
std::shared_ptr<LogSink> setLogSink(std::shared_ptr<LogSink> sink);
std::shared_ptr<LogSink> currentLogSink();

// A log handle for one subsystem and category.
class Logger {
public:
    Logger(std::string subsystem, std::string category);

    const std::string& subsystem() const { return subsystem_; }
    const std::string& category() const { return category_; }

    bool isEnabled(LogType type) const;
    // Skipped when the sink reports the type as disabled.
    void log(LogType type, std::string_view text) const;

private:
    std::string subsystem_;
    std::string category_;
};

} // namespace platform::log
