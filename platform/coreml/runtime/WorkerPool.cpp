#include "platform/coreml/runtime/WorkerPool.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace platform::coreml::runtime {
namespace {

// One parallelFor call: ranges are claimed through an atomic counter, so the
// caller finishes the work alone when every worker is busy elsewhere.
struct Job {
    int64_t count;
    int64_t chunk;
    int64_t chunks;
    const std::function<void(int64_t, int64_t)>* body;
    std::atomic<int64_t> next{0};
    std::atomic<int64_t> done{0};
    std::mutex mutex;
    std::condition_variable finished;
    std::exception_ptr error;

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
            if (done.fetch_add(1) + 1 == chunks) {
                std::lock_guard lock(mutex);
                finished.notify_all();
            }
        }
    }
};

class Pool {
public:
    Pool() {
        const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
        for (unsigned i = 1; i < threads; ++i) workers_.emplace_back([this] { loop(); });
    }

    ~Pool() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        for (auto& worker : workers_) worker.join();
    }

    int size() const { return static_cast<int>(workers_.size()) + 1; }

    void run(const std::shared_ptr<Job>& job) {
        const int64_t helpers = std::min<int64_t>(job->chunks - 1, static_cast<int64_t>(workers_.size()));
        {
            std::lock_guard lock(mutex_);
            for (int64_t i = 0; i < helpers; ++i) queue_.push_back(job);
        }
        if (helpers == 1) {
            wake_.notify_one();
        } else if (helpers > 1) {
            wake_.notify_all();
        }
        job->work();
        std::unique_lock lock(job->mutex);
        job->finished.wait(lock, [&] { return job->done.load() == job->chunks; });
    }

private:
    void loop() {
        while (true) {
            std::shared_ptr<Job> job;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
                if (stopping_ && queue_.empty()) return;
                job = std::move(queue_.front());
                queue_.pop_front();
            }
            job->work();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::shared_ptr<Job>> queue_;
    std::vector<std::thread> workers_;
    bool stopping_ = false;
};

Pool& pool() {
    static Pool instance;
    return instance;
}

}  // namespace

int workerCount() {
    return pool().size();
}

void parallelFor(int64_t count, int64_t grain, const std::function<void(int64_t begin, int64_t end)>& body) {
    if (count <= 0) return;
    grain = std::max<int64_t>(grain, 1);
    const int64_t workers = workerCount();
    const int64_t chunks = std::min<int64_t>((count + grain - 1) / grain, workers * 4);
    if (chunks <= 1) {
        body(0, count);
        return;
    }
    auto job = std::make_shared<Job>();
    job->count = count;
    job->chunk = (count + chunks - 1) / chunks;
    job->chunks = (count + job->chunk - 1) / job->chunk;
    job->body = &body;
    pool().run(job);
    if (job->error) std::rethrow_exception(job->error);
}

}  // namespace platform::coreml::runtime
