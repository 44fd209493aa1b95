#include "mlcore/foundation/ConcurrencyUtilities.h"

#include "platform/foundation/ProcessInfo.h"

namespace celvan {

void EarlyStopActor::set(bool value, const platform::UUID& uuid) {
    std::lock_guard guard(mutex_);
    shouldStop_[uuid] = value;
}

bool EarlyStopActor::get(const platform::UUID& uuid) const {
    std::lock_guard guard(mutex_);
    auto found = shouldStop_.find(uuid);
    return found != shouldStop_.end() && found->second;
}

std::optional<bool> EarlyStopActor::remove(const platform::UUID& uuid) {
    std::lock_guard guard(mutex_);
    auto found = shouldStop_.find(uuid);
    if (found == shouldStop_.end()) return std::nullopt;
    bool value = found->second;
    shouldStop_.erase(found);
    return value;
}

std::size_t EarlyStopActor::count() const {
    std::lock_guard guard(mutex_);
    return shouldStop_.size();
}

int ConcurrencyUtilities::activeProcessorCount() { return platform::ProcessInfo::activeProcessorCount(); }

}  // namespace celvan
