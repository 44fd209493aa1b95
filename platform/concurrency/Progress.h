#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// Progress of one job, counted in units, thread-safe. A child progress counts
// for `pendingUnitCount` of its parent's units in proportion to its own
// fraction; when the child finishes, those units join the parent's completed
// count and the child is let go.
class Progress : public std::enable_shared_from_this<Progress> {
public:
    static constexpr const char* throughputKey = "NSProgressThroughputKey";

    static std::shared_ptr<Progress> create(int64_t totalUnitCount);

    int64_t totalUnitCount() const;
    void setTotalUnitCount(int64_t count);
    int64_t completedUnitCount() const;
    void setCompletedUnitCount(int64_t count);

    // Completed units plus the unfinished children's shares, over the total;
    // 0 while the total is not positive.
    double fractionCompleted() const;
    bool isFinished() const;

    // A progress has at most one parent; adding it to a second one throws
    // std::logic_error.
    void addChild(const std::shared_ptr<Progress>& child, int64_t pendingUnitCount);

    // A value stored for `key`, or none to remove it.
    void setUserInfoObject(std::optional<double> value, const std::string& key);
    std::optional<double> userInfoObject(const std::string& key) const;

private:
    explicit Progress(int64_t totalUnitCount);

    struct Child {
        std::shared_ptr<Progress> progress;
        int64_t pendingUnitCount;
    };

    bool isFinishedLocked() const;
    void reportIfFinished();
    void childFinished(const Progress* child);

    mutable std::mutex mutex_;
    int64_t totalUnitCount_;
    int64_t completedUnitCount_ = 0;
    std::vector<Child> children_;
    std::weak_ptr<Progress> parent_;
    bool hasParent_ = false;
    bool reportedFinished_ = false;
    std::map<std::string, double> userInfo_;
};

}  // namespace platform
