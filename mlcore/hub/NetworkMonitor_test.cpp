#include "mlcore/hub/NetworkMonitor.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <cstdlib>

#include "tests/support/HubTestEnvironment.h"
#include "platform/crypto/SHA256.h"

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

class OfflineByNetwork : public testing::HubTestEnvironment {
protected:
    struct Outcome {
        int status = -1;
        std::string output;
    };

    // The snapshot of a process that has lost the network.
    Outcome snapshotWithoutNetwork() {
        const std::string command = std::string(HUB_OFFLINE_SNAPSHOT_PROBE) + " '" + cache().string() + "' " + repoId;
        Outcome outcome;
        FILE* pipe = ::popen(command.c_str(), "r");
        if (pipe == nullptr) return outcome;
        std::array<char, 4096> buffer{};
        while (const std::size_t count = std::fread(buffer.data(), 1, buffer.size(), pipe)) {
            outcome.output.append(buffer.data(), count);
        }
        const int status = ::pclose(pipe);
        outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return outcome;
    }
};

TEST_F(OfflineByNetwork, ASnapshotWithoutNetworkWorksFromTheCacheAndChecksIt) {
    serve("config.json", "{}");
    serve("model.bin", bytes(1 << 20, 8));
    HubApi(platform::URL::fileURLWithPath(cache().string(), true), std::nullopt, std::nullopt, false, false)
        .snapshot({repoId, HubApi::RepoType::models});
    server().clearRequests();

    struct Case {
        std::string name;
        std::function<void()> change;
        int status;
        std::string output;
    };
    const std::vector<Case> cases = {
        {"an intact cache", [] {}, 0, (cache() / "models" / repoId).string() + "\n"},
        {"a large file changed on disk", [&] { writeFile(cached("model.bin"), "changed"); }, 1,
         "File integrity check failed: Hash mismatch for model.bin\n"},
    };
    for (const Case& c : cases) {
        c.change();
        const Outcome outcome = snapshotWithoutNetwork();
        EXPECT_EQ(outcome.status, c.status) << c.name << ": " << outcome.output;
        EXPECT_EQ(outcome.output, c.output) << c.name;
    }
    EXPECT_TRUE(server().requests().empty());
}

}  // namespace
}  // namespace celvan
