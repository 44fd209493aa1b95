#include "platform/concurrency/MainActor.h"

#include <condition_variable>
#include <deque>
#include <mutex>

namespace platform {

namespace {

thread_local bool drainingMainActor = false;

struct MainQueue {
    std::mutex mutex;
    std::condition_variable posted;
    std::deque<std::function<void()>> jobs;
};

MainQueue& mainQueue() {
    // Never destroyed: jobs may still be posted while the process exits.
    static MainQueue* queue = new MainQueue();
    return *queue;
}

void runJob(std::function<void()>& job) noexcept { job(); }

}  // namespace

void MainActor::post(std::function<void()> job) {
    MainQueue& queue = mainQueue();
    {
        std::lock_guard lock(queue.mutex);
        queue.jobs.push_back(std::move(job));
    }
    queue.posted.notify_all();
}

std::size_t MainActor::drain() {
    MainQueue& queue = mainQueue();
    const bool outer = drainingMainActor;
    drainingMainActor = true;
    std::size_t count = 0;
    for (;;) {
        std::function<void()> job;
        {
            std::lock_guard lock(queue.mutex);
            if (queue.jobs.empty()) break;
            job = std::move(queue.jobs.front());
            queue.jobs.pop_front();
        }
        runJob(job);
        ++count;
    }
    drainingMainActor = outer;
    return count;
}

std::size_t MainActor::waitAndDrain(std::chrono::milliseconds timeout) {
    MainQueue& queue = mainQueue();
    {
        std::unique_lock lock(queue.mutex);
        queue.posted.wait_for(lock, timeout, [&] { return !queue.jobs.empty(); });
    }
    return drain();
}

bool MainActor::isCurrent() noexcept { return drainingMainActor; }

}  // namespace platform
