// Takes a snapshot as a machine without a network would: in a network
// namespace of its own, where no interface is up, once the network monitor
// has said so. Prints the repository folder, or the error, and exits 0, or
// 1 with the error; 2 when the machine cannot be cut off or the monitor never
// notices.
//
// Usage: hub_offline_snapshot_probe <cache folder> <repository id>

#include <sched.h>

#include <chrono>
#include <cstring>
#include <exception>
#include <iostream>
#include <thread>

#include "mlcore/hub/HubApi.h"
#include "mlcore/hub/NetworkMonitor.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: " << argv[0] << " <cache folder> <repository id>\n";
        return 2;
    }
    if (::unshare(CLONE_NEWNET) != 0) {
        std::cerr << "cannot leave the network: " << std::strerror(errno) << "\n";
        return 2;
    }
    const celvan::HubApi hub(platform::URL::fileURLWithPath(argv[1], true));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (celvan::NetworkMonitor::isNetworkAvailable()) {
        if (std::chrono::steady_clock::now() > deadline) {
            std::cerr << "the network monitor still reports a connection\n";
            return 2;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    try {
        std::cout << hub.snapshot({argv[2], celvan::HubApi::RepoType::models}).path() << std::endl;
        return 0;
    } catch (const std::exception& error) {
        std::cout << error.what() << std::endl;
        return 1;
    }
}
