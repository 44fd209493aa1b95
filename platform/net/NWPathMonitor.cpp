#include "platform/net/NWPathMonitor.h"

#include <ifaddrs.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <mutex>
#include <thread>

namespace platform {

namespace {

// Without a netlink socket (a restricted sandbox) the interfaces are looked
// at on this period instead.
constexpr int kFallbackPollMilliseconds = 5000;

std::vector<NWInterface> currentInterfaces() {
    std::vector<NWInterface> interfaces;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return interfaces;
    for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_name == nullptr) continue;
        auto found = std::find_if(interfaces.begin(), interfaces.end(),
                                  [&](const NWInterface& known) { return known.name == entry->ifa_name; });
        if (found == interfaces.end()) {
            interfaces.push_back(NWInterface{entry->ifa_name});
            found = std::prev(interfaces.end());
        }
        found->isUp = found->isUp || (entry->ifa_flags & IFF_UP) != 0;
        found->isRunning = found->isRunning || (entry->ifa_flags & IFF_RUNNING) != 0;
        found->isLoopback = found->isLoopback || (entry->ifa_flags & IFF_LOOPBACK) != 0;
        if (entry->ifa_addr == nullptr) continue;
        if (entry->ifa_addr->sa_family == AF_INET) {
            found->hasRoutableAddress = true;
        } else if (entry->ifa_addr->sa_family == AF_INET6) {
            const auto* address = reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr);
            if (!IN6_IS_ADDR_LINKLOCAL(&address->sin6_addr) && !IN6_IS_ADDR_LOOPBACK(&address->sin6_addr)) {
                found->hasRoutableAddress = true;
            }
        }
    }
    ::freeifaddrs(list);
    return interfaces;
}

int openRouteSocket() {
    int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (fd < 0) return -1;
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void drain(int fd) {
    std::array<char, 8192> buffer;
    while (::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT) > 0) {
    }
}

}  // namespace

NWPath evaluatePath(const std::vector<NWInterface>& interfaces) {
    NWPath path;
    bool usable = std::any_of(interfaces.begin(), interfaces.end(), [](const NWInterface& interface) {
        return interface.isUp && interface.isRunning && !interface.isLoopback && interface.hasRoutableAddress;
    });
    path.status = usable ? NWPath::Status::satisfied : NWPath::Status::unsatisfied;
    return path;
}

struct NWPathMonitor::State {
    ~State() {
        if (wakeFd >= 0) ::close(wakeFd);
    }

    void report() {
        NWPath path = evaluatePath(currentInterfaces());
        UpdateHandler handler;
        {
            std::lock_guard lock(mutex);
            if (cancelled) return;
            current = path;
            handler = this->handler;
        }
        if (handler) handler(path);
    }

    void run() {
        int wake;
        {
            std::lock_guard lock(mutex);
            wake = wakeFd;
        }
        int route = openRouteSocket();
        report();
        NWPath last;
        {
            std::lock_guard lock(mutex);
            last = current;
        }
        for (;;) {
            std::array<pollfd, 2> watched{pollfd{wake, POLLIN, 0}, pollfd{route, POLLIN, 0}};
            int ready = ::poll(watched.data(), route >= 0 ? 2 : 1, route >= 0 ? -1 : kFallbackPollMilliseconds);
            if (ready < 0 && errno != EINTR) break;
            if (watched[0].revents != 0) break;
            if (route >= 0 && watched[1].revents == 0) continue;
            if (route >= 0) drain(route);
            NWPath next = evaluatePath(currentInterfaces());
            if (route < 0 && next.status == last.status) continue;
            last = next;
            report();
        }
        if (route >= 0) ::close(route);
    }

    mutable std::mutex mutex;
    UpdateHandler handler;
    NWPath current;
    bool started = false;
    bool cancelled = false;
    int wakeFd = -1;
    std::thread thread;
};

NWPathMonitor::NWPathMonitor() : state_(std::make_shared<State>()) {}

NWPathMonitor::~NWPathMonitor() { cancel(); }

void NWPathMonitor::setPathUpdateHandler(UpdateHandler handler) {
    std::lock_guard lock(state_->mutex);
    state_->handler = std::move(handler);
}

void NWPathMonitor::start() {
    std::lock_guard lock(state_->mutex);
    if (state_->started || state_->cancelled) return;
    state_->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    state_->started = true;
    state_->thread = std::thread([state = state_] { state->run(); });
}

void NWPathMonitor::cancel() {
    std::thread thread;
    {
        std::lock_guard lock(state_->mutex);
        if (state_->cancelled) return;
        state_->cancelled = true;
        if (state_->wakeFd >= 0) {
            std::uint64_t one = 1;
            [[maybe_unused]] auto written = ::write(state_->wakeFd, &one, sizeof one);
        }
        thread = std::move(state_->thread);
    }
    if (!thread.joinable()) return;
    // A handler that cancels its own monitor cannot wait for itself; the
    // thread ends on its own and lets go of the state last.
    if (thread.get_id() == std::this_thread::get_id()) {
        thread.detach();
        return;
    }
    thread.join();
}

NWPath NWPathMonitor::currentPath() const {
    std::lock_guard lock(state_->mutex);
    return state_->current;
}

}  // namespace platform
