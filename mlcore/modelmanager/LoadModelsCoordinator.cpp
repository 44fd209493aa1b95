#include "mlcore/modelmanager/LoadModelsCoordinator.h"

#include <utility>

namespace celvan {

void LoadModelsCoordinator::run(std::function<void()> operation) {
    std::unique_lock lock(mutex_);
    if (inflightLoad_) {
        const platform::Task<void> joined = *inflightLoad_;
        lock.unlock();
        joined.value();
        return;
    }
    // Stored before anyone waits, so every caller from now on joins it.
    const platform::Task<void> started(std::move(operation));
    inflightLoad_ = started;
    lock.unlock();

    // Forgotten whatever its outcome, so that a failed run is not handed to
    // the callers that come after it.
    struct Forget {
        LoadModelsCoordinator& coordinator;
        ~Forget() {
            const std::lock_guard guard(coordinator.mutex_);
            coordinator.inflightLoad_.reset();
        }
    } forget{*this};
    started.value();
}

}  // namespace celvan
