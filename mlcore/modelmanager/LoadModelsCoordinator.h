#pragma once

#include <exception>
#include <functional>
#include <mutex>
#include <optional>

#include "platform/concurrency/Task.h"

namespace celvan {

// Single flight for one run at a time: a caller that arrives while a run is
// going waits for that run and shares its outcome, success or error; the
// first caller after it ends starts a new one. The run is a task of its own,
// so a waiting caller that is cancelled does not cancel it.
class LoadModelsCoordinator {
public:
    void run(std::function<void()> operation);

private:
    // How a run ended: empty for success, else a maker of the run's error.
    // Every caller throws a copy made on its own thread, so no two threads
    // ever share, and free, one exception object.
    using Failure = std::function<std::exception_ptr()>;
    static void rethrow(const Failure& failure);

    std::mutex mutex_;
    std::optional<platform::Task<Failure>> inflightLoad_;
};

}  // namespace celvan
