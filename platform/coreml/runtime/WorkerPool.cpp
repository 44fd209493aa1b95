#include "platform/coreml/runtime/WorkerPool.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/concurrency/ThreadPool.h"

namespace platform::coreml::runtime {
namespace {

// One parallelFor call: ranges are claimed through an atomic counter, so the
// caller finishes the work alone when every pool thread is busy elsewhere.
struct Job {
    int64_t count = 0;
    int64_t chunk = 0;
    int64_t chunks = 0;
    const std::function<void(int64_t, int64_t)>* body = nullptr;
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
    const int64_t helpers = std::min<int64_t>(job->chunks - 1, workerCount() - 1);
    for (int64_t i = 0; i < helpers; ++i) ThreadPool::shared().submit([job] { job->work(); });
    job->work();
    {
        ThreadPool::BlockingScope blocking;
        std::unique_lock lock(job->mutex);
        job->finished.wait(lock, [&] { return job->done.load() == job->chunks; });
    }
    if (job->error) std::rethrow_exception(job->error);
}

}  // namespace platform::coreml::runtime
