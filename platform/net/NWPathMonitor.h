#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// The machine's current route to the outside world.
struct NWPath {
    enum class Status { satisfied, unsatisfied };

    Status status = Status::unsatisfied;
    // Metered links (mobile broadband) and low-data modes; this platform
    // reports neither, so both stay false.
    bool isExpensive = false;
    bool isConstrained = false;
};

// One network interface as the path evaluation sees it.
struct NWInterface {
    std::string name;
    bool isUp = false;
    bool isRunning = false;
    bool isLoopback = false;
    // Holds an IPv4 address, or an IPv6 address beyond link-local scope.
    bool hasRoutableAddress = false;
};

// A path is satisfied when some interface other than loopback is up, running
// and holds a routable address.
NWPath evaluatePath(const std::vector<NWInterface>& interfaces);

// Watches the interfaces and their addresses through a netlink socket and
// reports the path once right after start() and again after every change, on
// a thread of its own, one report at a time.
class NWPathMonitor {
public:
    using UpdateHandler = std::function<void(const NWPath&)>;

    NWPathMonitor();
    // Cancels.
    ~NWPathMonitor();
    NWPathMonitor(const NWPathMonitor&) = delete;
    NWPathMonitor& operator=(const NWPathMonitor&) = delete;

    // May be replaced at any time; the next report goes to the new handler.
    void setPathUpdateHandler(UpdateHandler handler);
    // Starting a started monitor changes nothing; a cancelled one stays
    // cancelled.
    void start();
    // Returns once no report is running or will run.
    void cancel();
    NWPath currentPath() const;

private:
    // What the monitor's thread touches. The thread holds it too, so a handler
    // that cancels (and lets go of) its own monitor never leaves the thread
    // reading a destroyed object.
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace platform
