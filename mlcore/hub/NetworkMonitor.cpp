#include "mlcore/hub/NetworkMonitor.h"

#include <cstdlib>
#include <string_view>

namespace celvan {

NetworkState NetworkStateActor::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

void NetworkStateActor::update(const platform::NWPath& path) {
    std::lock_guard lock(mutex_);
    state_.isConnected = path.status == platform::NWPath::Status::satisfied;
    state_.isExpensive = path.isExpensive;
    state_.isConstrained = path.isConstrained;
}

NetworkMonitor::NetworkMonitor()
    : monitor_(std::make_unique<platform::NWPathMonitor>()), state_(std::make_shared<NetworkStateActor>()) {}

std::shared_ptr<NetworkMonitor> NetworkMonitor::create() {
    std::shared_ptr<NetworkMonitor> monitor(new NetworkMonitor());
    monitor->startMonitoring();
    return monitor;
}

const std::shared_ptr<NetworkMonitor>& NetworkMonitor::shared() {
    static const std::shared_ptr<NetworkMonitor> monitor = create();
    return monitor;
}

bool NetworkMonitor::isNetworkAvailable() {
    const char* disabled = std::getenv("CI_DISABLE_NETWORK_MONITOR");
    if (disabled != nullptr && std::string_view(disabled) == "1") return true;
    return shared()->state().isConnected;
}

void NetworkMonitor::startMonitoring() {
    // Reports are written straight into the state on the monitor's own
    // thread, one after another, so a late report can never overwrite a
    // newer one. The handler holds the monitor weakly.
    monitor_->setPathUpdateHandler([weak = weak_from_this()](const platform::NWPath& path) {
        if (auto self = weak.lock()) self->state_->update(path);
    });
    monitor_->start();
}

}  // namespace celvan
