#include "mlcore/modelmanager/LoadModelsCoordinator.h"

#include <utility>

namespace celvan {

void LoadModelsCoordinator::run(std::function<void()> operation) {
    std::unique_lock lock(mutex_);
    if (inflightLoad_) {
        const platform::Task<std::exception_ptr> joined = *inflightLoad_;
        lock.unlock();
        if (const std::exception_ptr error = joined.value()) std::rethrow_exception(error);
        return;
    }
    // Stored before anyone waits, so every caller from now on joins it.
    const platform::Task<std::exception_ptr> started([operation = std::move(operation)]() -> std::exception_ptr {
        try {
            operation();
            return nullptr;
        } catch (...) {
            return std::current_exception();
        }
    });
    inflightLoad_ = started;
    lock.unlock();

    const std::exception_ptr error = started.value();
    // Forgotten whatever its outcome, so that a failed run is not handed to
    // the callers that come after it.
    lock.lock();
    inflightLoad_.reset();
    lock.unlock();
    if (error) std::rethrow_exception(error);
}

}  // namespace celvan
