#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

namespace platform {

// The process-wide pool that runs tasks and executor jobs. It keeps about one
// running thread per processor; a pool thread that blocks waiting for other
// work (a task's value, a stream, a sleep) does not count, and the pool starts
// another thread while queued work would otherwise wait behind it. That keeps
// a pool whose threads all wait on queued tasks from deadlocking.
class ThreadPool {
public:
    static ThreadPool& shared();

    // Jobs must not throw; one that does ends the program.
    void submit(std::function<void()> job);

    // Marks the calling thread as blocked for the scope's lifetime. Every
    // blocking wait of this library holds one; off the pool it does nothing.
    class BlockingScope {
    public:
        BlockingScope();
        ~BlockingScope();
        BlockingScope(const BlockingScope&) = delete;
        BlockingScope& operator=(const BlockingScope&) = delete;

    private:
        bool counted_;
    };

private:
    ThreadPool();

    void workerLoop();
    void startWorkerLocked();
    void startWorkerIfStarvedLocked();
    bool hasSurplusLocked() const;
    void enterBlocking();
    void leaveBlocking();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
    const std::size_t target_;
    std::size_t threads_ = 0;
    std::size_t idle_ = 0;
    std::size_t blocked_ = 0;
};

}  // namespace platform
