#include "platform/concurrency/SerialExecutor.h"

#include <deque>
#include <mutex>

#include "platform/concurrency/ThreadPool.h"

namespace platform {

namespace {

thread_local const void* runningQueue = nullptr;

void runJob(std::function<void()>& job) noexcept { job(); }

}  // namespace

struct SerialExecutor::Queue : std::enable_shared_from_this<Queue> {
    explicit Queue(std::string name) : label(std::move(name)) {}

    void post(std::function<void()> job) {
        {
            std::lock_guard lock(mutex);
            jobs.push_back(std::move(job));
            if (draining) return;
            draining = true;
        }
        try {
            ThreadPool::shared().submit([self = shared_from_this()] { self->drain(); });
        } catch (...) {
            // The jobs stay queued for the next post to start a drain.
            std::lock_guard lock(mutex);
            draining = false;
            throw;
        }
    }

    // One pool job drains the queue until it is empty, so jobs never overlap.
    void drain() {
        const void* outer = runningQueue;
        runningQueue = this;
        for (;;) {
            std::function<void()> job;
            {
                std::lock_guard lock(mutex);
                if (jobs.empty()) {
                    draining = false;
                    break;
                }
                job = std::move(jobs.front());
                jobs.pop_front();
            }
            runJob(job);
        }
        runningQueue = outer;
    }

    const std::string label;
    std::mutex mutex;
    std::deque<std::function<void()>> jobs;
    bool draining = false;
};

SerialExecutor::SerialExecutor(std::string label) : queue_(std::make_shared<Queue>(std::move(label))) {}

const std::string& SerialExecutor::label() const noexcept { return queue_->label; }

void SerialExecutor::post(std::function<void()> job) const { queue_->post(std::move(job)); }

bool SerialExecutor::isCurrent() const noexcept { return runningQueue == queue_.get(); }

}  // namespace platform
