#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/concurrency/Task.h"
#include "platform/net/URLSession.h"

namespace celvan {

// The sizes of one transfer, shared by the caller, the transfer task and the
// session callbacks.
class DownloadResumeState {
public:
    std::optional<int64_t> expectedSize() const {
        std::lock_guard lock(mutex_);
        return expectedSize_;
    }
    void setExpectedSize(std::optional<int64_t> size) {
        std::lock_guard lock(mutex_);
        expectedSize_ = size;
    }
    int64_t downloadedSize() const {
        std::lock_guard lock(mutex_);
        return downloadedSize_;
    }
    void setDownloadedSize(int64_t size) {
        std::lock_guard lock(mutex_);
        downloadedSize_ = size;
    }
    void addDownloadedSize(int64_t bytes) {
        std::lock_guard lock(mutex_);
        downloadedSize_ += bytes;
    }

private:
    mutable std::mutex mutex_;
    std::optional<int64_t> expectedSize_;
    int64_t downloadedSize_ = 0;
};

// The current URL session. Replacing it leaves the old one valid.
class SessionActor {
public:
    void set(std::shared_ptr<platform::URLSession> session) {
        std::lock_guard lock(mutex_);
        urlSession_ = std::move(session);
    }
    std::shared_ptr<platform::URLSession> get() const {
        std::lock_guard lock(mutex_);
        return urlSession_;
    }

private:
    mutable std::mutex mutex_;
    std::shared_ptr<platform::URLSession> urlSession_;
};

// The current transfer task. Replacing it does not cancel the old one.
class TaskActor {
public:
    void set(std::optional<platform::Task<void>> task) {
        std::lock_guard lock(mutex_);
        task_ = std::move(task);
    }
    std::optional<platform::Task<void>> get() const {
        std::lock_guard lock(mutex_);
        return task_;
    }

private:
    mutable std::mutex mutex_;
    std::optional<platform::Task<void>> task_;
};

}  // namespace celvan
