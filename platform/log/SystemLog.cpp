#include "platform/log/SystemLog.h"

#include <syslog.h>

#include <mutex>

namespace platform::log {
namespace {

int priority(LogType type) {
    switch (type) {
    case LogType::debug: return LOG_DEBUG;
    case LogType::info: return LOG_INFO;
    case LogType::defaultType: return LOG_NOTICE;
    case LogType::error: return LOG_ERR;
    case LogType::fault: return LOG_CRIT;
    }
    return LOG_NOTICE;
}

std::mutex sinkMutex;

std::shared_ptr<LogSink>& installedSink() {
    static std::shared_ptr<LogSink> sink = std::make_shared<SyslogSink>();
    return sink;
}

} // namespace

bool SyslogSink::isEnabled(std::string_view, std::string_view, LogType type) const {
    // setlogmask(0) reads the mask without changing it.
    return (::setlogmask(0) & LOG_MASK(priority(type))) != 0;
}

void SyslogSink::write(const LogMessage& message) {
    ::syslog(priority(message.type), "[%.*s:%.*s] %.*s", static_cast<int>(message.subsystem.size()),
             message.subsystem.data(), static_cast<int>(message.category.size()), message.category.data(),
             static_cast<int>(message.text.size()), message.text.data());
}

std::shared_ptr<LogSink> setLogSink(std::shared_ptr<LogSink> sink) {
    if (!sink) sink = std::make_shared<SyslogSink>();
    std::lock_guard lock(sinkMutex);
    installedSink().swap(sink);
    return sink;
}

std::shared_ptr<LogSink> currentLogSink() {
    std::lock_guard lock(sinkMutex);
    return installedSink();
}

Logger::Logger(std::string subsystem, std::string category)
    : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

bool Logger::isEnabled(LogType type) const {
    return currentLogSink()->isEnabled(subsystem_, category_, type);
}

void Logger::log(LogType type, std::string_view text) const {
    const auto sink = currentLogSink();
    if (!sink->isEnabled(subsystem_, category_, type)) return;
    sink->write(LogMessage{subsystem_, category_, type, text});
}

} // namespace platform::log
