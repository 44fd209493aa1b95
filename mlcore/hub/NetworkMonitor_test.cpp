#include "mlcore/hub/NetworkMonitor.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace celvan {
namespace {

TEST(NetworkStateActor, StartsConnectedAndTakesEachReportWhole) {
    NetworkStateActor actor;
    NetworkState initial = actor.state();
    EXPECT_TRUE(initial.isConnected);
    EXPECT_FALSE(initial.isExpensive);
    EXPECT_FALSE(initial.isConstrained);

    actor.update(platform::NWPath{platform::NWPath::Status::unsatisfied, true, true});
    EXPECT_FALSE(actor.state().isConnected);
    EXPECT_TRUE(actor.state().isExpensive);
    EXPECT_TRUE(actor.state().isConstrained);
    actor.update(platform::NWPath{platform::NWPath::Status::satisfied, false, false});
    EXPECT_TRUE(actor.state().isConnected);
    EXPECT_FALSE(actor.state().isExpensive);
}

class NetworkAvailability : public ::testing::Test {
protected:
    void TearDown() override { ::unsetenv("CI_DISABLE_NETWORK_MONITOR"); }
};

TEST_F(NetworkAvailability, OnlyTheExactValueOneOverridesTheMonitor) {
    for (const char* value : {"0", "true", "1 ", ""}) {
        ::setenv("CI_DISABLE_NETWORK_MONITOR", value, 1);
        EXPECT_EQ(NetworkMonitor::isNetworkAvailable(), NetworkMonitor::shared()->state().isConnected) << value;
    }
    ::setenv("CI_DISABLE_NETWORK_MONITOR", "1", 1);
    EXPECT_TRUE(NetworkMonitor::isNetworkAvailable());
}

TEST(NetworkMonitor, EachClientMonitorWatchesOnItsOwnAndStartsAgainHarmlessly) {
    auto first = NetworkMonitor::create();
    auto second = NetworkMonitor::create();
    first->startMonitoring();
    first->startMonitoring();
    NetworkMonitor::shared()->startMonitoring();
    EXPECT_NE(first, second);
    EXPECT_NE(first, NetworkMonitor::shared());
    first.reset();
    EXPECT_NO_FATAL_FAILURE(second->state());
}

}  // namespace
}  // namespace celvan
