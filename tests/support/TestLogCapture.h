#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "mlcore/foundation/Logging.h"

namespace sonoscribe {

// Collects what the shared logger emits while it lives, at the given level,
// and leaves the logger silent again afterwards.
class TestLogCapture {
public:
    explicit TestLogCapture(celvan::Logging::LogLevel level = celvan::Logging::LogLevel::debug) {
        celvan::Logging::updateCallback([this](const std::string& message) {
            std::lock_guard lock(mutex_);
            messages_.push_back(message);
        });
        celvan::Logging::updateLogLevel(level);
    }
    ~TestLogCapture() {
        celvan::Logging::updateLogLevel(celvan::Logging::LogLevel::none);
        celvan::Logging::updateCallback(nullptr);
    }
    TestLogCapture(const TestLogCapture&) = delete;
    TestLogCapture& operator=(const TestLogCapture&) = delete;

    std::vector<std::string> messages() const {
        std::lock_guard lock(mutex_);
        return messages_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> messages_;
};

}  // namespace sonoscribe
