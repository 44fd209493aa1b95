#include "mlcore/hub/RedirectHandling.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "tests/support/TestHubServer.h"

namespace celvan {
namespace {

using testsupport::HubFault;
using testsupport::TestHubServer;

class RedirectDelegateTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = std::filesystem::temp_directory_path() / ("redirect-test-" + std::to_string(::getpid()));
        std::filesystem::create_directories(root_ / "models" / "owner" / "name");
        std::filesystem::create_directories(root_ / "models" / "owner" / "renamed");
        std::ofstream(root_ / "models" / "owner" / "name" / "config.json") << "old";
        std::ofstream(root_ / "models" / "owner" / "renamed" / "config.json") << "{\"new\": true}";
        server_ = std::make_unique<TestHubServer>(root_);
    }
    void TearDown() override {
        server_.reset();
        std::filesystem::remove_all(root_);
    }

    std::string path(const std::string& repo) const {
        return TestHubServer::resolvePath("models", repo, "main", "config.json");
    }
    platform::URLRequest head() const {
        platform::URLRequest request(server_->endpoint() + path("owner/name"));
        request.httpMethod = "HEAD";
        request.setValue("Bearer token", "Authorization");
        request.setValue("identity", "Accept-Encoding");
        return request;
    }

    std::filesystem::path root_;
    std::unique_ptr<TestHubServer> server_;
    RedirectSessionActor actor_;
};

TEST_F(RedirectDelegateTest, FollowsARelativeLocationOnTheSameHostWithEveryHeader) {
    HubFault moved;
    moved.kind = HubFault::Kind::relativeRedirect;
    moved.path = path("owner/name");
    moved.value = path("owner/renamed") + "?download=true";
    server_->addFault(moved);

    auto [body, response] = actor_.urlSession()->data(head());
    EXPECT_EQ(response.statusCode, 200);
    const std::string target = server_->endpoint() + path("owner/renamed") + "?download=true";
    EXPECT_EQ(response.url, target);

    auto requests = server_->requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].method, "HEAD");
    EXPECT_EQ(requests[1].target, path("owner/renamed") + "?download=true");
    EXPECT_EQ(requests[1].header("Authorization"), "Bearer token");
    EXPECT_EQ(requests[1].header("Accept-Encoding"), "identity");
    EXPECT_EQ(requests[1].header("Location"), target);
}

TEST_F(RedirectDelegateTest, HandsBackEveryRedirectThatIsNotRelative) {
    struct Case {
        const char* name;
        HubFault fault;
        int status;
        std::optional<std::string> location;
    };
    HubFault otherHost;
    otherHost.kind = HubFault::Kind::redirectToHost;
    otherHost.value = "localhost";
    HubFault noLocation;
    noLocation.kind = HubFault::Kind::reply;
    noLocation.status = 307;
    HubFault schemeWithoutHost;
    schemeWithoutHost.kind = HubFault::Kind::relativeRedirect;
    schemeWithoutHost.value = "mailto:someone";
    HubFault relativePath;
    relativePath.kind = HubFault::Kind::relativeRedirect;
    relativePath.value = "config.json";
    const std::vector<Case> cases = {
        {"another host", otherHost, 302, server_->endpoint("localhost") + path("owner/name")},
        {"no location", noLocation, 307, std::nullopt},
        {"a scheme without a host", schemeWithoutHost, 302, "mailto:someone"},
        {"a path below the current folder", relativePath, 302, "config.json"},
    };
    for (auto c : cases) {
        server_->clearFaults();
        server_->clearRequests();
        c.fault.path = path("owner/name");
        server_->addFault(c.fault);
        auto [body, response] = actor_.urlSession()->data(head());
        EXPECT_EQ(response.statusCode, c.status) << c.name;
        EXPECT_EQ(response.value("Location"), c.location) << c.name;
        EXPECT_EQ(server_->requests().size(), 1u) << c.name;
    }
}

TEST_F(RedirectDelegateTest, OneSessionServesTheWholeProcess) {
    EXPECT_EQ(actor_.urlSession(), actor_.urlSession());
}

}  // namespace
}  // namespace celvan
