#include "platform/net/NWPathMonitor.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

namespace platform {
namespace {

TEST(NWPath, SatisfiedOnlyByAnUpRunningRoutableInterfaceOtherThanLoopback) {
    const NWInterface loopback{"lo", true, true, true, true};
    const NWInterface ethernet{"eth0", true, true, false, true};
    struct Case {
        const char* name;
        std::vector<NWInterface> interfaces;
        NWPath::Status status;
    };
    auto with = [](NWInterface interface, auto change) {
        change(interface);
        return interface;
    };
    const std::vector<Case> cases = {
        {"nothing", {}, NWPath::Status::unsatisfied},
        {"loopback only", {loopback}, NWPath::Status::unsatisfied},
        {"ethernet", {loopback, ethernet}, NWPath::Status::satisfied},
        {"ethernet down", {loopback, with(ethernet, [](auto& i) { i.isUp = false; })}, NWPath::Status::unsatisfied},
        {"no carrier", {with(ethernet, [](auto& i) { i.isRunning = false; })}, NWPath::Status::unsatisfied},
        {"link-local only", {with(ethernet, [](auto& i) { i.hasRoutableAddress = false; })},
         NWPath::Status::unsatisfied},
    };
    for (const auto& c : cases) {
        NWPath path = evaluatePath(c.interfaces);
        EXPECT_EQ(path.status, c.status) << c.name;
        EXPECT_FALSE(path.isExpensive) << c.name;
        EXPECT_FALSE(path.isConstrained) << c.name;
    }
}

TEST(NWPathMonitor, ReportsOnceAtStartAndNeverAfterCancel) {
    std::mutex mutex;
    std::condition_variable reported;
    int reports = 0;
    NWPathMonitor monitor;
    monitor.setPathUpdateHandler([&](const NWPath&) {
        std::lock_guard lock(mutex);
        ++reports;
        reported.notify_all();
    });
    monitor.start();
    monitor.start();
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(reported.wait_for(lock, std::chrono::seconds(10), [&] { return reports >= 1; }));
    }
    monitor.cancel();
    int afterCancel;
    {
        std::lock_guard lock(mutex);
        afterCancel = reports;
    }
    monitor.start();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::lock_guard lock(mutex);
    EXPECT_EQ(reports, afterCancel);
}

TEST(NWPathMonitor, AHandlerMayCancelItsOwnMonitor) {
    auto monitor = std::make_shared<NWPathMonitor>();
    std::mutex mutex;
    std::condition_variable reported;
    bool done = false;
    monitor->setPathUpdateHandler([&, raw = monitor.get()](const NWPath&) {
        raw->cancel();
        std::lock_guard lock(mutex);
        done = true;
        reported.notify_all();
    });
    monitor->start();
    std::unique_lock lock(mutex);
    EXPECT_TRUE(reported.wait_for(lock, std::chrono::seconds(10), [&] { return done; }));
}

}  // namespace
}  // namespace platform
