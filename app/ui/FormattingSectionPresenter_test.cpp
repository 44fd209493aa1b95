#include "app/ui/FormattingSectionPresenter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "app/formatting/KeychainHelper.h"
#include "app/ui/APIKeyWriter.h"
#include "tests/support/FormattingSectionTestSupport.h"
#include "platform/concurrency/MainActor.h"
#include "platform/settings/NotificationCenter.h"
#include "tests/support/FakeProviderServer.h"
#include "tests/support/PausedSecretService.h"
#include "tests/support/PrivateSessionBus.h"
#include "tests/support/TempDirectory.h"

namespace dictaro {
namespace {

using namespace std::chrono_literals;
using testsupport::FakeProviderServer;
using testsupport::ScriptedAnswer;
using Provider = FormattingProvider;
using Clock = std::chrono::steady_clock;
using testing::probeAgainst;

constexpr std::size_t kOllama = 0, kAnthropic = 1, kOpenAI = 2, kGemini = 3, kZai = 4;

ScriptedAnswer tags(const std::string& names) {
    ScriptedAnswer answer;
    answer.contentType = "application/json";
    std::string models;
    std::istringstream list(names);
    for (std::string name; list >> name;) models += (models.empty() ? "" : ",") + std::string("{\"name\":\"") + name + "\"}";
    answer.write("{\"models\":[" + models + "]}");
    return answer;
}

ScriptedAnswer answering(const std::string& text, std::chrono::milliseconds delay = 0ms) {
    ScriptedAnswer answer;
    answer.headDelay = delay;
    answer.write(testsupport::wire::responsesText(text)).write(testsupport::wire::responsesEnd());
    return answer;
}

class FormattingSectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(testsupport::onPrivateSessionBus());
        for (Provider provider : kAllFormattingProviders) KeychainHelper::remove(apiKeyAccount(provider));
        registration_ = platform::NotificationCenter::defaultCenter().addObserver(
            std::string(FormattingConfig::notificationName), [this] { ++notifications_; });
    }
    void TearDown() override {
        section_.reset();
        platform::MainActor::drain();
    }

    std::shared_ptr<platform::UserDefaults> defaults() {
        return std::make_shared<platform::UserDefaults>(folder_.path() / "settings.json");
    }
    void store(std::vector<std::pair<std::string, platform::JSONValue>> values) { defaults()->set(std::move(values)); }
    // What a fresh reader of the settings file finds.
    FormattingConfig saved() { return FormattingConfig::fromDefaults(*defaults()); }
    std::string fileText() {
        std::ifstream file(folder_.path() / "settings.json");
        return std::string(std::istreambuf_iterator<char>(file), {});
    }

    FormattingSectionPresenter& open() {
        section_ = FormattingSectionPresenter::create(defaults(), probeAgainst(provider_));
        section_->activate();
        return *section_;
    }
    const FormattingSectionState& state() const { return section_->state(); }

    // Serves the main actor until `done` holds; false after 10 s.
    template <class Predicate>
    bool drainUntil(Predicate done) {
        const auto deadline = Clock::now() + 10s;
        while (!done()) {
            if (Clock::now() > deadline) return false;
            platform::MainActor::waitAndDrain(5ms);
        }
        return true;
    }
    void drainFor(std::chrono::milliseconds duration) {
        const auto end = Clock::now() + duration;
        while (Clock::now() < end) platform::MainActor::waitAndDrain(5ms);
    }
    std::size_t requestsTo(const FakeProviderServer& server, const std::string& path) {
        std::size_t count = 0;
        for (const auto& request : server.requests()) count += request.path == path;
        return count;
    }

    testsupport::TempDirectory folder_;
    FakeProviderServer provider_;
    FakeProviderServer ollama_;
    std::shared_ptr<FormattingSectionPresenter> section_;
    platform::NotificationCenter::Registration registration_;
    int notifications_ = 0;
};

TEST_F(FormattingSectionTest, ShowsTheRowsOfEachProviderAndSavesEveryChoice) {
    store({{"OllamaHost", ollama_.endpoint()}});
    struct Case {
        std::size_t provider;
        bool enabled;
        bool keyRow, hostRow, ollamaBlock;
        std::string keyButton;
    };
    const std::vector<Case> cases{
        {kOllama, true, false, true, true, ""},
        {kAnthropic, true, true, false, false, "Get a Anthropic (Claude) API key \u2192"},
        {kOpenAI, true, true, false, false, "Get a OpenAI API key \u2192"},
        {kGemini, true, true, false, false, "Get a Google Gemini API key \u2192"},
        {kZai, true, true, false, false, "Get a Z.ai (GLM) API key \u2192"},
        {kOllama, false, false, true, false, ""},
        {kOpenAI, false, true, false, false, "Get a OpenAI API key \u2192"},
    };
    FormattingSectionPresenter& section = open();
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(rawValue(kAllFormattingProviders[c.provider])) + (c.enabled ? " on" : " off"));
        const int before = notifications_;
        section.providerChanged(c.provider);
        section.toggleEnabled(c.enabled);
        EXPECT_EQ(notifications_, before + 2) << "each edit is announced once";
        EXPECT_EQ(state().apiKeyRowVisible, c.keyRow);
        EXPECT_EQ(state().hostRowVisible, c.hostRow);
        EXPECT_EQ(state().ollamaSectionVisible, c.ollamaBlock);
        EXPECT_EQ(state().getKeyButtonVisible, !c.keyButton.empty());
        EXPECT_EQ(state().getKeyTitle, c.keyButton);
        EXPECT_EQ(state().controlsEnabled, c.enabled);
        EXPECT_EQ(state().modelItems, suggestedModels(kAllFormattingProviders[c.provider]));
        const bool local = c.provider == kOllama;
        EXPECT_EQ(section.isPolling(), local && c.enabled);
        EXPECT_EQ(section.isValidating(), !local && c.enabled);
        if (!c.enabled) {
            EXPECT_EQ(state().status, StatusText{});
        }
        EXPECT_EQ(saved().provider, kAllFormattingProviders[c.provider]);
        EXPECT_EQ(saved().enabled, c.enabled);
    }
}

TEST_F(FormattingSectionTest, EachProviderKeepsItsOwnModel) {
    FormattingSectionPresenter& section = open();
    section.providerChanged(kOpenAI);
    section.modelEntered("  gpt-5.5-custom\n");
    section.providerChanged(kOllama);
    section.modelEntered("llama3.3");
    section.modelEntered(" \n");  // ignored: nothing saved
    section.providerChanged(kOpenAI);
    EXPECT_EQ(state().modelText, "gpt-5.5-custom");
    section.providerChanged(kGemini);
    EXPECT_EQ(state().modelText, "gemini-2.5-flash-lite") << "a provider never chosen shows its first suggestion";

    FormattingConfig stored = saved();
    EXPECT_EQ(stored.modelByProvider[Provider::openai], "gpt-5.5-custom");
    EXPECT_EQ(stored.modelByProvider[Provider::ollama], "llama3.3");
    EXPECT_EQ(stored.provider, Provider::gemini);
}

TEST_F(FormattingSectionTest, EveryKeystrokeGoesToTheStoreAndQuickTypingSendsOneCheck) {
    store({{"FormattingProvider", "openai"}});
    provider_.script("/v1/responses", answering("Test."));
    FormattingSectionPresenter& section = open();
    ASSERT_TRUE(drainUntil([&] { return !section.isValidating(); }));
    EXPECT_EQ(state().status, (StatusText{"\u2717 Missing API key. Paste it above first.", StatusTone::red}));
    EXPECT_EQ(provider_.requests().size(), 0u) << "no key, no request";

    const std::string key = "sk-proj-0123456789abcdefghijklmnopqrstuv";
    ASSERT_EQ(key.size(), 40u);
    const int announced = notifications_;
    const auto firstKeystroke = Clock::now();
    for (std::size_t typed = 1; typed <= key.size(); ++typed) {
        section.apiKeyChanged(key.substr(0, typed));
        EXPECT_EQ(state().status.text, "Checking\u2026");
        platform::MainActor::drain();
        std::this_thread::sleep_for(10ms);
    }
    const auto lastKeystroke = Clock::now();
    EXPECT_LT(lastKeystroke - firstKeystroke, 700ms) << "the typing outran the pause it is meant to test";
    // Written as typed, not when the typing pauses: a quit right now loses nothing.
    APIKeyWriter::shared().waitUntilWritten();
    EXPECT_EQ(KeychainHelper::get(apiKeyAccount(Provider::openai)), key);
    EXPECT_TRUE(drainUntil([&] { return notifications_ > announced; })) << "a stored key is announced";

    ASSERT_TRUE(drainUntil([&] { return !section.isValidating(); }));
    EXPECT_EQ(state().status, (StatusText{"\u25CF Connected to OpenAI, model gpt-5.4-mini", StatusTone::green}));
    ASSERT_EQ(provider_.requests().size(), 1u);
    drainFor(800ms);
    EXPECT_EQ(provider_.requests().size(), 1u);

    // A field emptied deletes the key; the window presented again shows what was typed last.
    section.apiKeyChanged("");
    section.activate();
    EXPECT_EQ(state().apiKeyText, "");
    APIKeyWriter::shared().waitUntilWritten();
    EXPECT_EQ(KeychainHelper::get(apiKeyAccount(Provider::openai)), std::nullopt);
}

TEST_F(FormattingSectionTest, ASlowSecretServiceNeverHoldsUpTheTyping) {
    store({{"FormattingProvider", "openai"}});
    FormattingSectionPresenter& section = open();
    ASSERT_TRUE(drainUntil([&] { return !section.isValidating(); }));
    const std::string key = "sk-typed-while-the-keyring-is-busy";
    {
        testsupport::PausedSecretService busy;
        ASSERT_TRUE(busy.isPaused());
        // Should a keystroke wait for the store, this lets the test go on.
        std::atomic<bool> resumed = false;
        std::thread watchdog([&] {
            std::this_thread::sleep_for(3s);
            resumed = true;
            busy.resume();
        });
        for (std::size_t typed = 1; typed <= key.size(); ++typed) section.apiKeyChanged(key.substr(0, typed));
        // The window presented again meanwhile shows the key still being written.
        section.activate();
        EXPECT_FALSE(resumed) << "the typing waited for the secret service";
        EXPECT_EQ(state().apiKeyText, key);
        busy.resume();
        watchdog.join();
    }
    APIKeyWriter::shared().waitUntilWritten();
    EXPECT_EQ(KeychainHelper::get(apiKeyAccount(Provider::openai)), key);
}

TEST_F(FormattingSectionTest, OnlyTheLatestCheckWritesTheLine) {
    store({{"FormattingProvider", "openai"}});
    ASSERT_TRUE(FormattingConfig::setAPIKey("sk-first", Provider::openai));
    FormattingSectionPresenter& section = open();
    provider_.script("/v1/responses", answering("slow", 1500ms));
    ASSERT_TRUE(drainUntil([&] { return provider_.requests().size() == 1; }));

    ScriptedAnswer refused;
    refused.status = 401;
    refused.errorBody = R"({"error":{"message":"Incorrect API key provided."}})";
    provider_.script("/v1/responses", refused);
    section.apiKeyEditingEnded("sk-second");
    APIKeyWriter::shared().waitUntilWritten();
    EXPECT_EQ(KeychainHelper::get(apiKeyAccount(Provider::openai)), "sk-second") << "saved when editing ends";
    ASSERT_TRUE(drainUntil([&] { return !section.isValidating(); }));
    const StatusText refusal = state().status;
    EXPECT_EQ(refusal,
              (StatusText{"\u2717 Formatting backend unavailable: Incorrect API key provided.", StatusTone::red}));

    drainFor(1600ms);
    EXPECT_EQ(state().status, refusal) << "the slow first answer came too late to be shown";

    // Switching to the local provider drops a running check and clears the line.
    provider_.script("/v1/responses", answering("slow", 1500ms));
    section.modelEntered("gpt-5.4-nano");
    ASSERT_TRUE(drainUntil([&] { return provider_.requests().size() == 3; }));
    section.providerChanged(kOllama);
    EXPECT_FALSE(section.isValidating());
    drainFor(1600ms);
    EXPECT_EQ(state().status, StatusText{});
}

TEST_F(FormattingSectionTest, RefusesAHostThatIsNoWebAddress) {
    store({{"OllamaHost", ollama_.endpoint()}});
    for (int i = 0; i < 3; ++i) ollama_.script("/api/tags", tags("qwen3:4b"));
    FormattingSectionPresenter& section = open();
    ASSERT_TRUE(drainUntil([&] { return state().ollama.daemonStatus.tone == StatusTone::green; }));
    const std::size_t checks = requestsTo(ollama_, "/api/tags");
    const std::string before = fileText();

    for (const char* text : {"ftp://127.0.0.1:11434", "localhost:11434", "http://", "file:///tmp/ollama", "not a url",
                             "javascript:alert(1)", ""}) {
        SCOPED_TRACE(text);
        const int notified = notifications_;
        section.hostEditingEnded(text);
        EXPECT_EQ(state().status, (StatusText{"\u2717 Invalid URL", StatusTone::red}));
        EXPECT_EQ(notifications_, notified);
    }
    drainFor(200ms);
    EXPECT_EQ(fileText(), before) << "nothing saved";
    EXPECT_EQ(requestsTo(ollama_, "/api/tags"), checks) << "nothing asked";

    FakeProviderServer other;
    other.script("/api/tags", tags("llama3.3:latest"));
    section.modelEntered("llama3.3");
    section.hostEditingEnded(other.endpoint());
    EXPECT_EQ(saved().ollamaHost.absoluteString(), other.endpoint());
    ASSERT_TRUE(drainUntil([&] { return requestsTo(other, "/api/tags") == 1; })) << "rechecked at once";
    ASSERT_TRUE(drainUntil([&] { return state().ollama.modelStatus.tone == StatusTone::green; }));
    EXPECT_EQ(state().ollama.modelStatus.text, "\u2705  llama3.3 is installed and ready");
}

TEST_F(FormattingSectionTest, TheOllamaBlockFollowsTheServerAndItsDownloads) {
    store({{"OllamaHost", ollama_.endpoint()}, {"FormattingModel-ollama", "qwen3:4b"}});
    ollama_.script("/api/tags", tags("qwen3:4b-instruct llama3.3:latest"));
    FormattingSectionPresenter& section = open();
    ASSERT_TRUE(drainUntil([&] { return state().ollama.daemonStatus.tone == StatusTone::green; }));
    EXPECT_TRUE(section.isPolling());
    EXPECT_FALSE(section.isValidating());
    EXPECT_EQ(state().ollama.modelStatus, (StatusText{"\u26A0\uFE0F  qwen3:4b not installed yet", StatusTone::orange}));
    EXPECT_TRUE(state().ollama.modelButtonVisible);
    EXPECT_EQ(state().ollama.modelButtonTitle, "Download qwen3:4b");

    // A download that the server ends before saying it succeeded.
    ollama_.script("/api/pull", ScriptedAnswer()
                                    .write("{\"status\":\"pulling manifest\"}\n")
                                    .write("{\"status\":\"pulling abc\",\"completed\":1500000000,\"total\":3000000000}\n"));
    section.modelActionClicked();
    EXPECT_TRUE(state().ollama.pullBarVisible);
    EXPECT_TRUE(state().ollama.pullBarIndeterminate);
    EXPECT_FALSE(state().ollama.modelButtonVisible);
    ASSERT_TRUE(drainUntil([&] { return !section.isPulling(); }));
    EXPECT_EQ(state().ollama.pullStatus,
              (StatusText{"\u2717 Ollama stopped pulling qwen3:4b before it finished", StatusTone::red}));
    EXPECT_FALSE(state().ollama.pullBarVisible);
    EXPECT_TRUE(state().ollama.modelButtonVisible) << "the model is still missing";

    // One that does succeed; the block then finds the model.
    ollama_.script("/api/pull", ScriptedAnswer()
                                    .write("{\"status\":\"pulling abc\",\"completed\":734000000,\"total\":3000000000}\n")
                                    .pause(300ms)
                                    .write("{\"status\":\"success\"}\n"));
    ollama_.script("/api/tags", tags("qwen3:4b"));
    section.modelActionClicked();
    ASSERT_TRUE(drainUntil([&] { return state().ollama.pullStatus.text.find("734 MB") != std::string::npos; }));
    EXPECT_EQ(state().ollama.pullStatus.text, "pulling abc \u2014 734 MB / 3.0 GB");
    EXPECT_FALSE(state().ollama.pullBarIndeterminate);
    ASSERT_TRUE(drainUntil([&] { return !section.isPulling(); }));
    EXPECT_EQ(state().ollama.pullStatus, (StatusText{"\u2705  qwen3:4b installed", StatusTone::green}));
    ASSERT_TRUE(drainUntil([&] { return state().ollama.modelStatus.tone == StatusTone::green; }));
    EXPECT_EQ(state().ollama.modelStatus.text, "\u2705  qwen3:4b is installed and ready");

    // The server goes away: the next poll, 3 s on, says so.
    ASSERT_TRUE(drainUntil([&] { return state().ollama.daemonStatus.tone == StatusTone::orange; }));
    EXPECT_EQ(state().ollama.daemonStatus.text, "\u26A0\uFE0F  Ollama isn't responding at " + ollama_.endpoint());
    EXPECT_EQ(state().ollama.modelStatus, (StatusText{"Model: waiting for daemon\u2026", StatusTone::muted}));
    EXPECT_TRUE(state().ollama.daemonButtonVisible);

    // Turning formatting off stops the poll and hides the block.
    const int notified = notifications_;
    section.toggleEnabled(false);
    EXPECT_FALSE(section.isPolling());
    EXPECT_FALSE(state().ollamaSectionVisible);
    EXPECT_FALSE(state().controlsEnabled);
    EXPECT_EQ(notifications_, notified + 1);
    EXPECT_FALSE(saved().enabled);
    const std::size_t asked = requestsTo(ollama_, "/api/tags");
    drainFor(3200ms);
    EXPECT_EQ(requestsTo(ollama_, "/api/tags"), asked) << "no poll once off";
}

}  // namespace
}  // namespace dictaro
