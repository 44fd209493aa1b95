#include "platform/settings/NotificationCenter.h"

#include <algorithm>

namespace platform {

NotificationCenter& NotificationCenter::defaultCenter() {
    // Never destroyed: an observer released by a worker thread while the
    // process exits still unregisters from a live center.
    static NotificationCenter* const center = new NotificationCenter;
    return *center;
}

NotificationCenter::Registration NotificationCenter::addObserver(std::string name, Observer observer) {
    std::uint64_t id = 0;
    {
        std::lock_guard lock(mutex_);
        id = nextID_++;
        entries_.push_back({id, std::move(name), std::make_shared<Observer>(std::move(observer))});
    }
    return Registration(std::shared_ptr<void>(nullptr, [this, id](void*) { remove(id); }));
}

void NotificationCenter::post(std::string_view name) {
    std::vector<std::shared_ptr<Observer>> observers;
    {
        std::lock_guard lock(mutex_);
        for (const Entry& entry : entries_) {
            if (entry.name == name) observers.push_back(entry.observer);
        }
    }
    for (const auto& observer : observers) (*observer)();
}

void NotificationCenter::remove(std::uint64_t id) {
    std::lock_guard lock(mutex_);
    std::erase_if(entries_, [id](const Entry& entry) { return entry.id == id; });
}

}  // namespace platform
