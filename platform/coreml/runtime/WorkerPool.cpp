#include "platform/coreml/runtime/WorkerPool.h"

#include <immintrin.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/concurrency/ThreadPool.h"

namespace platform::coreml::runtime {
namespace {

using Clock = std::chrono::steady_clock;

// A prediction hands its workers one short job after another (a decoder step
// is a few hundred of them, each tens of microseconds long). Waking a
// sleeping thread costs about as much as such a job, so workers and callers
// keep polling for this long before they sleep.
constexpr auto kSpinFor = std::chrono::microseconds(300);

template <typename Ready>
bool spinUntil(Ready&& ready) {
    const auto until = Clock::now() + kSpinFor;
    while (true) {
        for (int i = 0; i < 64; ++i) {
            if (ready()) return true;
            _mm_pause();
        }
        if (Clock::now() >= until) return false;
    }
}

// One parallelFor call: ranges are claimed through an atomic counter, so the
// caller finishes the work alone when every worker is busy elsewhere.
struct Job {
    int64_t count = 0;
    int64_t chunk = 0;
    int64_t chunks = 0;
    const std::function<void(int64_t, int64_t)>* body = nullptr;
    std::atomic<int64_t> next{0};
    std::atomic<int64_t> done{0};
    std::atomic<bool> callerAsleep{false};
    std::mutex mutex;
    std::condition_variable finished;
    std::exception_ptr error;

    bool exhausted() const { return next.load() >= chunks; }
    bool complete() const { return done.load() == chunks; }

    void work() {
        while (true) {
            const int64_t index = next.fetch_add(1);
            if (index >= chunks) return;
            const int64_t begin = index * chunk;
            try {
                (*body)(begin, std::min(count, begin + chunk));
            } catch (...) {
                std::lock_guard lock(mutex);
                if (!error) error = std::current_exception();
            }
            // The caller announces its sleep before it checks `done` again,
            // and this side counts before it looks, so one of them sees the
            // other.
            if (done.fetch_add(1) + 1 == chunks && callerAsleep.load()) {
                std::lock_guard lock(mutex);
                finished.notify_all();
            }
        }
    }

    void waitUntilComplete() {
        if (spinUntil([&] { return complete(); })) return;
        ThreadPool::BlockingScope blocking;
        std::unique_lock lock(mutex);
        callerAsleep.store(true);
        finished.wait(lock, [&] { return complete(); });
    }
};

// Threads of our own rather than the shared pool's: they poll for the next
// job for a while instead of being woken through a lock for every one.
class Workers {
public:
    static Workers& shared() {
        // Never destroyed: the detached threads may still be polling it while
        // the process exits.
        static Workers* workers = new Workers(workerCount() - 1);
        return *workers;
    }

    void publish(const std::shared_ptr<Job>& job) {
        {
            std::lock_guard lock(mutex_);
            jobs_.push_back(job);
        }
        // A worker counts itself asleep before it checks the epoch one last
        // time, and this side moves the epoch before it looks, so one of them
        // sees the other.
        epoch_.fetch_add(1);
        if (sleepers_.load() > 0) epoch_.notify_all();
    }

    void withdraw(const std::shared_ptr<Job>& job) {
        std::lock_guard lock(mutex_);
        jobs_.erase(std::remove(jobs_.begin(), jobs_.end(), job), jobs_.end());
    }

private:
    explicit Workers(int threads) {
        for (int i = 0; i < threads; ++i) std::thread([this] { loop(); }).detach();
    }

    std::shared_ptr<Job> open() {
        std::lock_guard lock(mutex_);
        for (const auto& job : jobs_) {
            if (!job->exhausted()) return job;
        }
        return nullptr;
    }

    void loop() {
        while (true) {
            const uint32_t seen = epoch_.load();
            if (const auto job = open()) {
                job->work();
                continue;
            }
            if (spinUntil([&] { return epoch_.load() != seen; })) continue;
            sleepers_.fetch_add(1);
            epoch_.wait(seen);
            sleepers_.fetch_sub(1);
        }
    }

    std::mutex mutex_;
    std::vector<std::shared_ptr<Job>> jobs_;
    std::atomic<uint32_t> epoch_{0};
    std::atomic<int> sleepers_{0};
};

}  // namespace

int workerCount() {
    static const int count = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    return count;
}

void parallelFor(int64_t count, int64_t grain, const std::function<void(int64_t begin, int64_t end)>& body) {
    if (count <= 0) return;
    grain = std::max<int64_t>(grain, 1);
    const int64_t chunks = std::min<int64_t>((count + grain - 1) / grain, int64_t{workerCount()} * 4);
    if (chunks <= 1) {
        body(0, count);
        return;
    }
    auto job = std::make_shared<Job>();
    job->count = count;
    job->chunk = (count + chunks - 1) / chunks;
    job->chunks = (count + job->chunk - 1) / job->chunk;
    job->body = &body;
    Workers& workers = Workers::shared();
    workers.publish(job);
    job->work();
    workers.withdraw(job);
    job->waitUntilComplete();
    if (job->error) std::rethrow_exception(job->error);
}

}  // namespace platform::coreml::runtime
