#include "platform/concurrency/ThreadPool.h"

#include <algorithm>
#include <thread>

namespace platform {

namespace {

thread_local bool onPoolThread = false;
thread_local bool blockedOnPool = false;

void runJob(std::function<void()>& job) noexcept { job(); }

}  // namespace

ThreadPool& ThreadPool::shared() {
    // Never destroyed: detached workers may still be parked in it while the
    // process exits.
    static ThreadPool* pool = new ThreadPool();
    return *pool;
}

ThreadPool::ThreadPool() : target_(std::max(2u, std::thread::hardware_concurrency())) {}

void ThreadPool::submit(std::function<void()> job) {
    std::unique_lock lock(mutex_);
    jobs_.push_back(std::move(job));
    if (jobs_.size() <= idle_) {
        lock.unlock();
        wake_.notify_one();
        return;
    }
    try {
        startWorkerIfStarvedLocked();
    } catch (...) {
        // With a worker left the job still runs, only later; with none it
        // never would, so the caller has to hear of it.
        if (threads_ > 0) return;
        jobs_.pop_back();
        throw;
    }
}

void ThreadPool::startWorkerLocked() {
    ++threads_;
    try {
        std::thread([this] { workerLoop(); }).detach();
    } catch (...) {
        --threads_;
        throw;
    }
}

void ThreadPool::startWorkerIfStarvedLocked() {
    if (jobs_.size() > idle_ && threads_ - blocked_ < target_) startWorkerLocked();
}

bool ThreadPool::hasSurplusLocked() const { return threads_ - blocked_ > target_; }

void ThreadPool::workerLoop() {
    onPoolThread = true;
    std::unique_lock lock(mutex_);
    for (;;) {
        if (!jobs_.empty()) {
            std::function<void()> job = std::move(jobs_.front());
            jobs_.pop_front();
            lock.unlock();
            runJob(job);
            job = nullptr;
            lock.lock();
            continue;
        }
        if (hasSurplusLocked()) break;
        ++idle_;
        wake_.wait(lock);
        --idle_;
    }
    --threads_;
}

void ThreadPool::enterBlocking() {
    std::lock_guard lock(mutex_);
    ++blocked_;
    try {
        startWorkerIfStarvedLocked();
    } catch (...) {
        --blocked_;
        throw;
    }
}

void ThreadPool::leaveBlocking() {
    std::unique_lock lock(mutex_);
    --blocked_;
    bool surplus = hasSurplusLocked() && idle_ > 0;
    lock.unlock();
    if (surplus) wake_.notify_one();
}

ThreadPool::BlockingScope::BlockingScope() : counted_(onPoolThread && !blockedOnPool) {
    if (!counted_) return;
    ThreadPool::shared().enterBlocking();
    blockedOnPool = true;
}

ThreadPool::BlockingScope::~BlockingScope() {
    if (!counted_) return;
    ThreadPool::shared().leaveBlocking();
    blockedOnPool = false;
}

}  // namespace platform
