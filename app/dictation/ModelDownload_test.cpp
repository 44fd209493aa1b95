// The first start: the model comes from the hub, the panel's loading state
// follows the download, and a hub that fails says why.
#include <gtest/gtest.h>

#include <cstdlib>

#include "app/dictation/Log.h"
#include "app/dictation/OnDeviceTranscription.h"
#include "platform/concurrency/MainActor.h"
#include "tests/support/EngineTestSupport.h"
#include "speech/engine/Sonoscribe.h"
#include "tests/support/LogLines.h"
#include "tests/support/TestHubServer.h"
#include "tests/support/TempDirectory.h"

namespace dictaro {
namespace {

using namespace std::chrono_literals;
using Status = TranscriptionStatus;

constexpr const char* modelName = "openai_whisper-base.en";
constexpr const char* engineRepository = sonoscribe::Sonoscribe::defaultModelRepository;

class ModelDownloadTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("no_proxy", "127.0.0.1,localhost", 1);
        logs = testsupport::LogLines::install();
    }
    void TearDown() override {
        Log::waitUntilWritten();
        logs->uninstall();
    }

    void publishModel() {
        testsupport::writeModelRepository(folder.path() / "hub" / "models" / engineRepository, {modelName},
                                          sonoscribe::testing::scriptedWindow(sonoscribe::testing::helloWorldTokens()),
                                          modelName);
    }

    // Starts the service on a fresh cache and returns every status it
    // reports until the load has ended one way or the other.
    std::vector<Status> load(const std::string& endpoint) {
        const auto service = makeOnDeviceTranscription(
            modelName, std::make_shared<platform::UserDefaults>(folder.path() / "settings.json"),
            std::make_shared<DictaroAudioProcessor>(),
            {endpoint, platform::URL::fileURLWithPath((folder.path() / "cache").string(), true)});
        std::vector<Status> reported;
        service->setOnStatusChange([&](const Status& status) { reported.push_back(status); });
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        while (service->status().kind == Status::Kind::loading && std::chrono::steady_clock::now() < deadline) {
            platform::MainActor::waitAndDrain(5ms);
        }
        return reported;
    }

    testsupport::TempDirectory folder;
    testsupport::TestHubServer server{folder.path() / "hub", 4096};
    std::shared_ptr<testsupport::LogLines> logs;
};

TEST_F(ModelDownloadTest, TheLoadingStateShowsTheDownloadRisingUntilTheModelIsReady) {
    publishModel();
    const std::vector<Status> reported = load(server.endpoint());
    ASSERT_FALSE(reported.empty());
    EXPECT_EQ(reported.back(), Status::ready());
    std::vector<int> percents;
    for (auto it = reported.begin(); it + 1 < reported.end(); ++it) {
        ASSERT_EQ(it->kind, Status::Kind::loading) << it->description();
        ASSERT_TRUE(it->downloadPercent);
        percents.push_back(*it->downloadPercent);
    }
    ASSERT_GE(percents.size(), 2u) << "no step between the start and the end of the download was shown";
    EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()) &&
                std::adjacent_find(percents.begin(), percents.end()) == percents.end());
    EXPECT_EQ(percents.back(), 100);
}

TEST_F(ModelDownloadTest, AHubThatFailsEndsTheLoadInAnErrorWithTheHubsMessage) {
    struct Case {
        const char* name;
        std::function<void()> arrange;
        std::string endpoint;
        std::string hubError;  // the hub client's own words, which the user must see
    };
    const Case cases[] = {
        {"no such repository", [] {}, server.endpoint(), "File not found: main"},
        {"server error",
         [&] {
             publishModel();
             testsupport::HubFault fault;
             fault.status = 503;
             server.addFault(fault);
         },
         server.endpoint(), "HTTP error with status code: 503"},
        {"unreachable", [] {}, "http://127.0.0.1:9", "Download failed: Could not connect to the server."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        server.clearFaults();
        c.arrange();
        const std::vector<Status> reported = load(c.endpoint);
        ASSERT_FALSE(reported.empty());
        const Status& last = reported.back();
        EXPECT_EQ(last, Status::error("Couldn't load model: Model not found. Please check the model or repo name and "
                                      "try again.\nError: " +
                                      c.hubError));
    }
}

}  // namespace
}  // namespace dictaro
