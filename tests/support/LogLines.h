#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/log/SystemLog.h"

namespace testsupport {

// Takes the system log's place for as long as it lives and keeps the text of
// every message, whatever its type.
class LogLines final : public platform::log::LogSink {
public:
    static std::shared_ptr<LogLines> install() {
        auto lines = std::make_shared<LogLines>();
        lines->previous_ = platform::log::setLogSink(lines);
        return lines;
    }
    // Puts the previous sink back.
    void uninstall() { platform::log::setLogSink(previous_); }

    bool isEnabled(std::string_view, std::string_view, platform::log::LogType) const override { return true; }
    void write(const platform::log::LogMessage& message) override {
        std::lock_guard lock(mutex_);
        texts_.emplace_back(message.text);
    }
    std::vector<std::string> texts() {
        std::lock_guard lock(mutex_);
        return texts_;
    }

private:
    std::shared_ptr<platform::log::LogSink> previous_;
    std::mutex mutex_;
    std::vector<std::string> texts_;
};

}  // namespace testsupport
