#pragma once

#include <exception>
#include <functional>
#include <mutex>
#include <optional>

#include "platform/concurrency/Task.h"

namespace celvan {

// Single flight for one run at a time: a caller that arrives while a run is
// going waits for that run and shares its outcome, success or the very error
// it threw; the first caller after it ends starts a new one. The run is a
// task of its own, so a waiting caller that is cancelled does not cancel it.
class LoadModelsCoordinator {
public:
    void run(std::function<void()> operation);

private:
    std::mutex mutex_;
    // Its result is the run's error, null for success.
    std::optional<platform::Task<std::exception_ptr>> inflightLoad_;
};

}  // namespace celvan
