#include "platform/concurrency/Sleep.h"

#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/concurrency/CancellationError.h"
#include "platform/concurrency/CancellationToken.h"
#include "platform/concurrency/ThreadPool.h"

namespace platform {

void sleep(std::chrono::nanoseconds duration) {
    std::optional<CancellationToken> token = currentCancellationToken();
    ThreadPool::BlockingScope blocking;
    if (!token) {
        std::this_thread::sleep_for(duration);
        return;
    }
    checkCancellation();
    std::mutex mutex;
    std::condition_variable_any wake;
    std::unique_lock lock(mutex);
    wake.wait_for(lock, token->stopToken(), duration, [] { return false; });
    checkCancellation();
}

}  // namespace platform
