#include "speech/engine/ModelHub.h"

#include <atomic>
#include <filesystem>

#include <gtest/gtest.h>

#include "tests/support/HubTestEnvironment.h"
#include "speech/model/Constants.h"
#include "tests/support/TestLogCapture.h"
#include "speech/model/WhisperError.h"

namespace sonoscribe {
namespace {

namespace fs = std::filesystem;

class ModelHubTest : public celvan::testing::HubTestEnvironment {
protected:
    static constexpr const char* repo = "owner/speech";

    void serveRepoFile(const std::string& file, const std::string& content) {
        writeFile(serverRoot() / "models" / repo / file, content);
    }

    std::optional<platform::URL> base() const { return platform::URL::fileURLWithPath(cache().string(), true); }
    std::string endpoint() { return server().endpoint(); }

    platform::URL download(const std::string& variant, const SonoscribeModelHub::DownloadProgressCallback& callback = {}) {
        return SonoscribeModelHub::download(variant, base(), false, repo, std::nullopt, endpoint(), callback);
    }

    ModelSupportConfig fetchConfig() {
        return SonoscribeModelHub::fetchModelSupportConfig(repo, base(), std::nullopt, "config.json", endpoint());
    }

    static bool contains(const std::vector<std::string>& messages, const std::string& text) {
        for (const std::string& message : messages) {
            if (message.find(text) != std::string::npos) return true;
        }
        return false;
    }
};

TEST_F(ModelHubTest, DownloadsTheOneVariantFolderNarrowingToOpenAIWhenAmbiguous) {
    serveRepoFile("openai_whisper-tiny/MelSpectrogram.mlmodelc/model.bin", "mel");
    serveRepoFile("someone_whisper-tiny/MelSpectrogram.mlmodelc/model.bin", "other");
    serveRepoFile("openai_whisper-base.en/AudioEncoder.mlmodelc/model.bin", "encoder");
    serveRepoFile("config.json", "{}");

    TestLogCapture log;
    std::atomic<int> reports{0};
    const platform::URL single = download("base.en", [&](const platform::Progress&) { ++reports; });
    EXPECT_EQ(single.path(), (cache() / "models" / repo / "openai_whisper-base.en").string());
    EXPECT_EQ(readFile(cache() / "models" / repo / "openai_whisper-base.en/AudioEncoder.mlmodelc/model.bin"), "encoder");
    EXPECT_GT(reports.load(), 0);
    EXPECT_FALSE(fs::exists(cache() / "models" / repo / "openai_whisper-tiny")) << "only the variant is fetched";
    EXPECT_TRUE(contains(log.messages(), "Searching for models matching \"*base.en/*\" in "));

    const platform::URL narrowed = download("tiny");
    EXPECT_EQ(narrowed.lastPathComponent(), "openai_whisper-tiny");
    EXPECT_EQ(readFile(cache() / "models" / repo / "openai_whisper-tiny/MelSpectrogram.mlmodelc/model.bin"), "mel");
    EXPECT_FALSE(fs::exists(cache() / "models" / repo / "someone_whisper-tiny"));
    EXPECT_TRUE(contains(log.messages(), "Multiple models found matching \"*tiny/*\""));
    EXPECT_TRUE(contains(log.messages(), "Searching for models matching \"*openai*tiny/*\" in "));

    try {
        download("large-v9");
        FAIL() << "a missing variant must fail";
    } catch (const WhisperError& error) {
        EXPECT_EQ(error.kind(), WhisperError::Kind::modelsUnavailable);
        EXPECT_EQ(std::string(error.what()),
                  "No models found matching \"*openai*large-v9/*\" in Repo(id: \"owner/speech\", type: models)");
    }

    serveRepoFile("openai_whisper-small-a/x.bin", "a");
    serveRepoFile("openai_x_whisper-small-a/x.bin", "b");
    try {
        download("small-a");
        FAIL() << "two openai folders are still ambiguous";
    } catch (const WhisperError& error) {
        EXPECT_EQ(std::string(error.what()).rfind("Multiple models found matching \"*openai*small-a/*\"", 0), 0u);
    }
}

TEST_F(ModelHubTest, SupportConfigFallsBackToTheBuiltInTableOnEveryFailure) {
    TestLogCapture log;
    const ModelSupportConfig& builtIn = Constants::fallbackModelSupportConfig();
    fs::create_directories(serverRoot() / "models" / repo);
    EXPECT_EQ(fetchConfig().repoName(), builtIn.repoName());
    EXPECT_TRUE(contains(log.messages(),
                         "No config files found matching \"config.json\" in owner/speech, using fallback"));

    serveRepoFile("config.json", "{\"name\": 3");
    EXPECT_EQ(fetchConfig().repoName(), builtIn.repoName());
    EXPECT_TRUE(contains(log.messages(), "Fetch model support config failed with error: "));

    // A machine name that no table knows gets the table's default support.
    EXPECT_EQ(SonoscribeModelHub::recommendedModels(),
              builtIn.modelSupport(SonoscribeModelHub::deviceName()));
}

TEST_F(ModelHubTest, SupportConfigFromTheRepositoryChoosesAndFiltersModels) {
    const std::string device = SonoscribeModelHub::deviceName();
    serveRepoFile("config.json",
                  "{\"name\": \"owner/speech\", \"version\": \"1\", \"device_support\": [{\"identifiers\": [\"" +
                      device +
                      "\"], \"models\": {\"default\": \"openai_whisper-tiny.en\", \"supported\": "
                      "[\"openai_whisper-tiny.en\", \"openai_whisper-base\", \"openai_whisper-small\"]}}]}");
    EXPECT_EQ(SonoscribeModelHub::recommendedRemoteModels(repo, base(), std::nullopt, "config.json", endpoint())
                  .defaultModel(),
              "openai_whisper-tiny.en");
    auto available = [&](const std::vector<std::string>& patterns) {
        return SonoscribeModelHub::fetchAvailableModels(repo, patterns, base(), std::nullopt, "config.json", endpoint());
    };
    EXPECT_EQ(available({"*tiny*", "*t*", "*small"}),
              (std::vector<std::string>{"openai_whisper-tiny.en", "openai_whisper-small"}));
    EXPECT_TRUE(available({}).empty());
}

}  // namespace
}  // namespace sonoscribe
