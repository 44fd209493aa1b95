#pragma once

#include <chrono>

namespace platform {

// Suspends the current task for `duration`. Cancelling the task ends the wait
// early with CancellationError, as does a cancellation that came before the
// call. Outside of tasks it is a plain sleep.
void sleep(std::chrono::nanoseconds duration);

}  // namespace platform
