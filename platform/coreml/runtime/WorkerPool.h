#pragma once

#include <cstdint>
#include <functional>

namespace platform::coreml::runtime {

// Splits [0, count) into ranges of at least `grain` items and runs them on
// the shared thread pool, the calling thread included; returns when all
// ranges are done. Safe to call from several predictions at once. An exception
// thrown by `body` is rethrown to the caller after the other ranges finish.
void parallelFor(int64_t count, int64_t grain, const std::function<void(int64_t begin, int64_t end)>& body);

// Wakes sleeping workers ahead of parallel work, without waiting for them: a
// prediction starts with this, so that the workers are polling by the time
// its first parallel node runs instead of being woken by it.
void wakeWorkers();

// Worker threads available to parallelFor, the caller included.
int workerCount();

}  // namespace platform::coreml::runtime
