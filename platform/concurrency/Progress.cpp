#include "platform/concurrency/Progress.h"

#include <algorithm>
#include <stdexcept>

namespace platform {

std::shared_ptr<Progress> Progress::create(int64_t totalUnitCount) {
    return std::shared_ptr<Progress>(new Progress(totalUnitCount));
}

Progress::Progress(int64_t totalUnitCount) : totalUnitCount_(totalUnitCount) {}

int64_t Progress::totalUnitCount() const {
    std::lock_guard lock(mutex_);
    return totalUnitCount_;
}

void Progress::setTotalUnitCount(int64_t count) {
    {
        std::lock_guard lock(mutex_);
        totalUnitCount_ = count;
    }
    reportIfFinished();
}

int64_t Progress::completedUnitCount() const {
    std::lock_guard lock(mutex_);
    return completedUnitCount_;
}

void Progress::setCompletedUnitCount(int64_t count) {
    {
        std::lock_guard lock(mutex_);
        completedUnitCount_ = count;
    }
    reportIfFinished();
}

// Locks run from parent to child only: a child never holds its own lock while
// it tells its parent, so the two orders cannot meet.
double Progress::fractionCompleted() const {
    std::lock_guard lock(mutex_);
    if (totalUnitCount_ <= 0) return 0.0;
    double units = static_cast<double>(completedUnitCount_);
    for (const Child& child : children_) {
        units += child.progress->fractionCompleted() * static_cast<double>(child.pendingUnitCount);
    }
    return units / static_cast<double>(totalUnitCount_);
}

bool Progress::isFinished() const {
    std::lock_guard lock(mutex_);
    return isFinishedLocked();
}

bool Progress::isFinishedLocked() const { return totalUnitCount_ > 0 && completedUnitCount_ >= totalUnitCount_; }

void Progress::addChild(const std::shared_ptr<Progress>& child, int64_t pendingUnitCount) {
    {
        std::lock_guard childLock(child->mutex_);
        if (child->hasParent_) throw std::logic_error("The progress already has a parent.");
        child->hasParent_ = true;
        child->parent_ = weak_from_this();
    }
    {
        std::lock_guard lock(mutex_);
        children_.push_back({child, pendingUnitCount});
    }
    child->reportIfFinished();
}

void Progress::reportIfFinished() {
    std::shared_ptr<Progress> parent;
    {
        std::lock_guard lock(mutex_);
        if (reportedFinished_ || !isFinishedLocked()) return;
        parent = parent_.lock();
        if (!parent) return;
        reportedFinished_ = true;
    }
    parent->childFinished(this);
}

void Progress::childFinished(const Progress* child) {
    std::shared_ptr<Progress> released;  // let go of outside the lock
    {
        std::lock_guard lock(mutex_);
        auto found = std::find_if(children_.begin(), children_.end(),
                                  [child](const Child& entry) { return entry.progress.get() == child; });
        if (found == children_.end()) return;
        completedUnitCount_ += found->pendingUnitCount;
        released = std::move(found->progress);
        children_.erase(found);
    }
    reportIfFinished();
}

void Progress::setUserInfoObject(std::optional<double> value, const std::string& key) {
    std::lock_guard lock(mutex_);
    if (value) {
        userInfo_[key] = *value;
    } else {
        userInfo_.erase(key);
    }
}

std::optional<double> Progress::userInfoObject(const std::string& key) const {
    std::lock_guard lock(mutex_);
    auto found = userInfo_.find(key);
    if (found == userInfo_.end()) return std::nullopt;
    return found->second;
}

}  // namespace platform
