#include "app/formatting/FormattingConfig.h"

#include <gtest/gtest.h>

#include "app/formatting/AnthropicFormatter.h"
#include "app/formatting/ChatCompletionsFormatter.h"
#include "app/formatting/GeminiFormatter.h"
#include "app/formatting/KeychainHelper.h"
#include "app/formatting/OllamaFormatter.h"
#include "app/formatting/OpenAIResponsesFormatter.h"
#include "tests/support/PrivateSessionBus.h"
#include "tests/support/TempDirectory.h"

namespace dictaro {
namespace {

using platform::JSONNumber;
using platform::JSONValue;
using Provider = FormattingProvider;

class FormattingConfigTest : public ::testing::Test {
protected:
    std::unique_ptr<platform::UserDefaults> defaultsWith(std::vector<std::pair<std::string, JSONValue>> values) const {
        auto defaults = std::make_unique<platform::UserDefaults>(temporary_.path() / (std::to_string(++files_) + ".json"));
        if (!values.empty()) defaults->set(std::move(values));
        return defaults;
    }

    testsupport::TempDirectory temporary_;
    mutable int files_ = 0;
};

TEST_F(FormattingConfigTest, ReadsTheSettingsWithTheirDefaults) {
    const platform::URL defaultHost = FormattingConfig::defaultOllamaHost();
    EXPECT_EQ(defaultHost.absoluteString(), "http://localhost:11434");
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, JSONValue>> stored;
        bool enabled;
        Provider provider;
        std::string model;
        std::string host;
    };
    const std::vector<Case> cases{
        {"nothing stored", {}, true, Provider::ollama, "qwen3:4b", defaultHost.absoluteString()},
        {"a provider that names no case", {{"FormattingProvider", "mistral"}}, true, Provider::ollama, "qwen3:4b",
         defaultHost.absoluteString()},
        {"enabled stored as a non-Boolean", {{"FormattingEnabled", JSONNumber::signedInteger(0)}}, true, Provider::ollama,
         "qwen3:4b", defaultHost.absoluteString()},
        {"everything stored",
         {{"FormattingEnabled", JSONNumber::boolean(false)},
          {"FormattingProvider", "gemini"},
          {"FormattingModel-gemini", "gemini-2.5-flash"},
          {"OllamaHost", "https://gpu-box.local:8443/ollama"}},
         false, Provider::gemini, "gemini-2.5-flash", "https://gpu-box.local:8443/ollama"},
        {"the old Ollama model when no newer one is stored", {{"OllamaModel", "llama3.3"}}, true, Provider::ollama,
         "llama3.3", defaultHost.absoluteString()},
        {"the newer Ollama model wins", {{"OllamaModel", "llama3.3"}, {"FormattingModel-ollama", "phi4-mini"}}, true,
         Provider::ollama, "phi4-mini", defaultHost.absoluteString()},
        {"a host without a scheme", {{"OllamaHost", "localhost:11434"}}, true, Provider::ollama, "qwen3:4b",
         defaultHost.absoluteString()},
        {"a file address", {{"OllamaHost", "file:///tmp/socket"}}, true, Provider::ollama, "qwen3:4b",
         defaultHost.absoluteString()},
        {"text that is no address", {{"OllamaHost", "not a url"}}, true, Provider::ollama, "qwen3:4b",
         defaultHost.absoluteString()},
        {"a host of the wrong type", {{"OllamaHost", JSONNumber::signedInteger(11434)}}, true, Provider::ollama,
         "qwen3:4b", defaultHost.absoluteString()},
    };
    for (const Case& scripted : cases) {
        SCOPED_TRACE(scripted.name);
        const FormattingConfig config = FormattingConfig::fromDefaults(*defaultsWith(scripted.stored));
        EXPECT_EQ(config.enabled, scripted.enabled);
        EXPECT_EQ(config.provider, scripted.provider);
        EXPECT_EQ(config.model(), scripted.model);
        EXPECT_EQ(config.ollamaHost.absoluteString(), scripted.host);
    }
}

TEST_F(FormattingConfigTest, SavesWhatItReadsBackAndLeavesOtherKeysAlone) {
    std::unique_ptr<platform::UserDefaults> stored =
        defaultsWith({{"FormattingModel-openai", "gpt-5.4"}, {"OllamaModel", "llama3.3"}});
    platform::UserDefaults& defaults = *stored;
    FormattingConfig config;
    config.enabled = false;
    config.provider = Provider::zaiGLM;
    config.modelByProvider = {{Provider::zaiGLM, "glm-4.7"}, {Provider::ollama, "gemma3:4b"}};
    config.ollamaHost = *platform::URL::fromString("http://127.0.0.1:9999");
    config.save(defaults);

    FormattingConfig expected = config;
    expected.modelByProvider[Provider::openai] = "gpt-5.4";
    EXPECT_EQ(FormattingConfig::fromDefaults(platform::UserDefaults(defaults.file())), expected);
    EXPECT_EQ(defaults.string("OllamaModel"), "llama3.3");

    config.ollamaHost = *platform::URL::fromString("file:///etc/passwd");
    config.save(defaults);
    EXPECT_EQ(defaults.string("OllamaHost"), FormattingConfig::defaultOllamaHost().absoluteString());
}

TEST(FormattingProviderTest, ListsTheProvidersWithTheirModels) {
    std::vector<std::string> names;
    for (Provider provider : kAllFormattingProviders) {
        names.emplace_back(rawValue(provider));
        EXPECT_EQ(formattingProvider(rawValue(provider)), provider);
        EXPECT_EQ(needsAPIKey(provider), provider != Provider::ollama);
        EXPECT_FALSE(suggestedModels(provider).empty());
    }
    EXPECT_EQ(names, (std::vector<std::string>{"ollama", "anthropic", "openai", "gemini", "zaiGLM"}));
    EXPECT_EQ(apiKeyAccount(Provider::zaiGLM), "zaiGLM-api-key");
}

// The keys of the real providers' accounts: only this test touches them.
TEST(FormattingConfigKeys, StoreTrimmedKeysAndBuildTheMatchingService) {
    ASSERT_TRUE(testsupport::onPrivateSessionBus());
    for (Provider provider : {Provider::anthropic, Provider::openai, Provider::gemini, Provider::zaiGLM}) {
        ASSERT_TRUE(FormattingConfig::setAPIKey("  \n", provider));
    }
    FormattingConfig config;
    config.enabled = true;
    config.provider = Provider::anthropic;
    EXPECT_EQ(config.buildService(), nullptr);

    ASSERT_TRUE(FormattingConfig::setAPIKey("  sk-ant-1 \n", Provider::anthropic));
    EXPECT_EQ(KeychainHelper::get("anthropic-api-key"), "sk-ant-1");
    ASSERT_TRUE(FormattingConfig::setAPIKey("sk-ant-2", Provider::anthropic));
    EXPECT_EQ(KeychainHelper::get("anthropic-api-key"), "sk-ant-2");
    auto anthropic = std::dynamic_pointer_cast<AnthropicFormatter>(config.buildService());
    ASSERT_NE(anthropic, nullptr);
    EXPECT_EQ(anthropic->apiKey, "sk-ant-2");
    EXPECT_EQ(anthropic->model, "claude-haiku-4-5-20251001");

    ASSERT_TRUE(FormattingConfig::setAPIKey("glm", Provider::zaiGLM));
    config.provider = Provider::zaiGLM;
    auto glm = std::dynamic_pointer_cast<ChatCompletionsFormatter>(config.buildService());
    ASSERT_NE(glm, nullptr);
    EXPECT_EQ(glm->baseURL.percentEncodedPath(), "/api/paas/v4");
    EXPECT_EQ(glm->baseURL.scheme(), "https");

    ASSERT_TRUE(FormattingConfig::setAPIKey("g", Provider::gemini));
    config.provider = Provider::gemini;
    EXPECT_NE(std::dynamic_pointer_cast<GeminiFormatter>(config.buildService()), nullptr);
    ASSERT_TRUE(FormattingConfig::setAPIKey("o", Provider::openai));
    config.provider = Provider::openai;
    EXPECT_NE(std::dynamic_pointer_cast<OpenAIResponsesFormatter>(config.buildService()), nullptr);

    config.provider = Provider::ollama;
    config.modelByProvider[Provider::ollama] = "phi4-mini";
    auto ollama = std::dynamic_pointer_cast<OllamaFormatter>(config.buildService());
    ASSERT_NE(ollama, nullptr);
    EXPECT_EQ(ollama->model, "phi4-mini");

    for (Provider provider : {Provider::anthropic, Provider::openai, Provider::gemini, Provider::zaiGLM}) {
        EXPECT_TRUE(FormattingConfig::setAPIKey("", provider));
        EXPECT_EQ(KeychainHelper::get(apiKeyAccount(provider)), std::nullopt);
    }
    EXPECT_TRUE(KeychainHelper::remove("anthropic-api-key"));
}

TEST(FormattingConfigKeysDeathTest, ReportsAKeyThatCouldNotBeSaved) {
    ASSERT_TRUE(testsupport::onPrivateSessionBus());
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    EXPECT_EXIT(
        {
            ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/dictaro-bus", 1);
            std::_Exit(FormattingConfig::setAPIKey("sk-new", Provider::openai) ? 1 : 0);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace dictaro
