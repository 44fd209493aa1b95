#pragma once

#include <memory>
#include <mutex>

#include "platform/net/NWPathMonitor.h"

namespace celvan {

struct NetworkState {
    bool isConnected = true;
    bool isExpensive = false;
    bool isConstrained = false;
};

// The connectivity flags of the last path report. It starts out connected,
// so that work begun before the first report goes online.
class NetworkStateActor {
public:
    NetworkState state() const;
    void update(const platform::NWPath& path);

private:
    mutable std::mutex mutex_;
    NetworkState state_;
};

// Keeps the machine's current connectivity for the hub client, which works
// from its cache when there is no network.
class NetworkMonitor : public std::enable_shared_from_this<NetworkMonitor> {
public:
    // A new monitor, already watching.
    static std::shared_ptr<NetworkMonitor> create();
    // The one monitor of the process whose state decides offline work.
    static const std::shared_ptr<NetworkMonitor>& shared();
    // Whether the shared monitor's last report was connected; always true when
    // "CI_DISABLE_NETWORK_MONITOR" is exactly "1".
    static bool isNetworkAvailable();

    // Installs the report handler anew and starts watching; calling it on a
    // monitor that already watches keeps it watching.
    void startMonitoring();
    NetworkState state() const { return state_->state(); }

private:
    NetworkMonitor();

    // Destroying the path monitor cancels it.
    std::unique_ptr<platform::NWPathMonitor> monitor_;
    std::shared_ptr<NetworkStateActor> state_;
};

}  // namespace celvan
