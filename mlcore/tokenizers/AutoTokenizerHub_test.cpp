#include "mlcore/tokenizers/AutoTokenizer.h"

#include "mlcore/hub/Hub.h"
#include "tests/support/HubTestEnvironment.h"
#include "mlcore/tokenizers/AutoTokenizerWrapper.h"
#include "mlcore/tokenizers/TokenizerError.h"
#include "tests/support/TokenizerTestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <typeinfo>

#include "platform/concurrency/Task.h"

namespace celvan {
namespace {

using Ids = std::vector<int64_t>;
namespace fs = std::filesystem;

const std::string kBpeData = R"({"model": {"type": "BPE", "vocab": {"h": 0, "i": 1, "hi": 2}, "merges": ["h i"]}})";
const std::string kGpt2Config = R"({"tokenizer_class": "GPT2Tokenizer"})";

class AutoTokenizerFromHub : public testing::HubTestEnvironment {
protected:
    fs::path repoFolder(const std::string& id) const { return serverRoot() / "models" / id; }

    void serveFile(const std::string& id, const std::string& name, const std::string& content) const {
        writeFile(repoFolder(id) / name, content);
    }

    // A repository holding a real tokenizer's two files.
    void serveFixture(const std::string& id, const std::string& fixture) const {
        fs::create_directories(repoFolder(id));
        for (const char* name : {"tokenizer.json", "tokenizer_config.json"}) {
            fs::copy_file(testing::fixtureFolder(fixture) / name, repoFolder(id) / name);
        }
    }

    HubApiWrapper hubApi() const { return HubApiWrapper(platform::URL::fileURLWithPath(cache().string(), true)); }

    HubApiWrapper offlineHubApi() const {
        HubApiWrapper offline = hubApi();
        offline.impl.useOfflineMode = true;
        return offline;
    }

    std::shared_ptr<const Tokenizer> byName(const std::string& id) const {
        return AutoTokenizer::fromPretrained(id, hubApi(), true);
    }

    std::shared_ptr<const Tokenizer> fromFolder(const fs::path& folder) const {
        return AutoTokenizer::fromModelFolder(platform::URL::fileURLWithPath(folder.string(), true), hubApi(), true);
    }

    fs::path cachedRepo(const std::string& id) const { return cache() / "models" / id; }
};

TEST_F(AutoTokenizerFromHub, LoadsRealTokenizersByNameWithTheirIds) {
    struct Case {
        std::string fixture;
        std::string text;
        Ids expected;
    };
    const std::vector<Case> cases = {
        {"gpt2", "Hello world", {15496, 995}},
        {"whisper-en", " Hello world.", {50257, 50362, 18435, 995, 13, 50256}},
        {"bert", "i like strawberries", {101, 1045, 2066, 13137, 20968, 102}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fixture);
        const std::string id = "fixtures/" + c.fixture;
        serveFixture(id, c.fixture);
        serveFile(id, "model.bin", bytes(4096));
        const TokenizerWrapper wrapper = AutoTokenizerWrapper::fromPretrained(id, hubApi(), true);
        EXPECT_EQ(wrapper.encode(c.text), c.expected);
        EXPECT_EQ(wrapper.decode(c.expected, true), c.text);
        EXPECT_TRUE(fs::exists(cachedRepo(id) / "tokenizer.json"));
        EXPECT_FALSE(fs::exists(cachedRepo(id) / "model.bin")) << "only the tokenizer's files are fetched";
    }
}

TEST_F(AutoTokenizerFromHub, PicksThePipelineClassByNameButNotFromAFolder) {
    struct Case {
        const char* name;
        std::string tokenizerConfig;
        std::optional<std::string> modelConfig;
        bool llama;
    };
    const std::vector<Case> cases = {
        {"Llama named with Fast", R"({"tokenizer_class": "LlamaTokenizerFast"})", std::nullopt, true},
        {"Llama from the model type", R"({"tokenizer_class": null})", R"({"model_type": "llama"})", true},
        {"a BPE class", kGpt2Config, R"({"model_type": "llama"})", false},
    };
    int repo = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string id = "owner/class-" + std::to_string(repo++);
        serveFile(id, "tokenizer.json", kBpeData);
        serveFile(id, "tokenizer_config.json", c.tokenizerConfig);
        if (c.modelConfig) serveFile(id, "config.json", *c.modelConfig);
        const auto tokenizer = byName(id);
        EXPECT_EQ(dynamic_cast<const LlamaPreTrainedTokenizer*>(tokenizer.get()) != nullptr, c.llama);
        EXPECT_EQ(tokenizer->encode("hi", false), Ids{2});
        const auto fromCache = fromFolder(cachedRepo(id));
        EXPECT_EQ(typeid(*fromCache), typeid(PreTrainedTokenizer)) << "a folder always gives the plain pipeline";
    }

    serveFixture("meta/llama2", "llama2");
    const auto llama = byName("meta/llama2");
    ASSERT_NE(dynamic_cast<const LlamaPreTrainedTokenizer*>(llama.get()), nullptr);
    EXPECT_EQ(llama->encode("Hello world"), (Ids{1, 22557, 1526}));
}

TEST_F(AutoTokenizerFromHub, ChatTemplatesReachTheTokenizerConfiguration) {
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, std::string>> files;
        std::optional<std::string> chatTemplate;
    };
    const std::string withTemplate = R"({"tokenizer_class": "GPT2Tokenizer", "chat_template": "{{ own }}"})";
    const std::vector<Case> cases = {
        {"in tokenizer_config.json", {{"tokenizer_config.json", withTemplate}}, "{{ own }}"},
        {"jinja file replaces it",
         {{"tokenizer_config.json", withTemplate}, {"chat_template.jinja", "{{ jinja }}"}},
         "{{ jinja }}"},
        {"json file", {{"tokenizer_config.json", kGpt2Config}, {"chat_template.json", R"({"chat_template": "J"})"}},
         "J"},
        {"jinja wins over json",
         {{"tokenizer_config.json", kGpt2Config},
          {"chat_template.jinja", "first"},
          {"chat_template.json", R"({"chat_template": "second"})"}},
         "first"},
        {"named templates give none",
         {{"tokenizer_config.json", kGpt2Config},
          {"chat_template.json", R"({"chat_template": [{"name": "x", "template": "T"}]})"}},
         std::nullopt},
    };
    int repo = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string id = "owner/chat-" + std::to_string(repo++);
        serveFile(id, "tokenizer.json", kBpeData);
        for (const auto& [name, content] : c.files) serveFile(id, name, content);
        const auto hubLoaded = byName(id);
        const auto folderLoaded = fromFolder(repoFolder(id));
        for (const auto* tokenizer : {hubLoaded.get(), folderLoaded.get()}) {
            const auto* pipeline = dynamic_cast<const PreTrainedTokenizer*>(tokenizer);
            ASSERT_NE(pipeline, nullptr);
            EXPECT_EQ(pipeline->tokenizerConfig()["chat_template"].string(), c.chatTemplate);
            EXPECT_EQ(pipeline->tokenizerConfig()["tokenizer_class"].string(), "GPT2Tokenizer");
        }
    }
}

TEST_F(AutoTokenizerFromHub, WorksOfflineFromTheCache) {
    try {
        AutoTokenizer::fromPretrained("fixtures/whisper-en", offlineHubApi(), true);
        ADD_FAILURE() << "loaded offline without a cache";
    } catch (const HubApi::EnvironmentError& error) {
        EXPECT_EQ(std::string(error.what()), "Offline mode error: Repository not available locally");
    }

    serveFixture("fixtures/whisper-en", "whisper-en");
    const Ids online = byName("fixtures/whisper-en")->encode(" Hello world.");
    server().clearRequests();
    const auto offline = AutoTokenizerWrapper::fromPretrained("fixtures/whisper-en", offlineHubApi(), true);
    EXPECT_EQ(offline.encode(" Hello world."), online);
    EXPECT_EQ(offline.convertTokenToId("<|notimestamps|>"), 50362);
    EXPECT_TRUE(server().requests().empty());

    // A cached file that no longer matches its record is refused offline.
    writeFile(cachedRepo("fixtures/whisper-en") / "tokenizer.json", "{}");
    EXPECT_THROW(AutoTokenizer::fromPretrained("fixtures/whisper-en", offlineHubApi(), true),
                 HubApi::EnvironmentError);
}

TEST_F(AutoTokenizerFromHub, LoadsOneTokenizerFromSeveralTasksAtOnce) {
    serveFixture("fixtures/whisper-en", "whisper-en");
    std::vector<platform::Task<Ids>> loads;
    for (int task = 0; task < 6; ++task) {
        loads.emplace_back([this] { return byName("fixtures/whisper-en")->encode(" Hello world."); });
    }
    for (const auto& load : loads) EXPECT_EQ(load.value(), (Ids{50257, 50362, 18435, 995, 13, 50256}));
    EXPECT_EQ(server().requestCount("GET", testsupport::TestHubServer::resolvePath("models", "fixtures/whisper-en",
                                                                                   "main", "tokenizer_config.json")), 1)
        << "the later loads find the file in place";
}

TEST_F(AutoTokenizerFromHub, ReportsWhatIsMissingOrUnreachable) {
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, std::string>> files;
        std::function<void(const std::exception&)> check;
    };
    const auto hubError = [](Hub::HubClientError::Kind kind, std::string message = {}) {
        return [kind, message](const std::exception& thrown) {
            const auto* error = dynamic_cast<const Hub::HubClientError*>(&thrown);
            ASSERT_NE(error, nullptr) << thrown.what();
            EXPECT_EQ(error->kind(), kind) << thrown.what();
            if (!message.empty()) {
                EXPECT_EQ(std::string(error->what()), message);
            }
        };
    };
    const auto tokenizerError = [](TokenizerError::Kind kind, std::string message) {
        return [kind, message](const std::exception& thrown) {
            const auto* error = dynamic_cast<const TokenizerError*>(&thrown);
            ASSERT_NE(error, nullptr) << thrown.what();
            EXPECT_EQ(error->kind(), kind);
            EXPECT_EQ(std::string(error->what()), message);
        };
    };
    using HubKind = Hub::HubClientError::Kind;
    using TokenizerKind = TokenizerError::Kind;
    const std::vector<Case> cases = {
        {"no tokenizer.json",
         {{"tokenizer_config.json", kGpt2Config}, {"config.json", "{}"}},
         hubError(HubKind::configurationMissing, "Required configuration file missing: tokenizer.json")},
        {"no tokenizer_config.json",
         {{"tokenizer.json", kBpeData}, {"config.json", R"({"model_type": "gpt2"})"}},
         tokenizerError(TokenizerKind::missingConfig, "Tokenizer configuration is missing.")},
        {"a chat template alone names no class",
         {{"tokenizer.json", kBpeData}, {"chat_template.jinja", "{{ x }}"}},
         tokenizerError(TokenizerKind::missingTokenizerClassInConfig,
                        "The tokenizer class is not specified in the configuration.")},
        {"an unregistered class of a model without a type under strict loading",
         {{"tokenizer.json", R"({"model": {"vocab": {"h": 0}, "merges": []}})"},
          {"tokenizer_config.json", R"({"tokenizer_class": "MyTokenizerFast"})"}},
         tokenizerError(TokenizerKind::unsupportedTokenizer, "The tokenizer type 'MyTokenizer' is not supported.")},
        {"a broken tokenizer.json",
         {{"tokenizer.json", "{\"model\":"}, {"tokenizer_config.json", kGpt2Config}},
         hubError(HubKind::jsonSerialization)},
        {"no such repository", {}, hubError(HubKind::fileNotFound)},
    };
    int repo = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string id = "owner/missing-" + std::to_string(repo++);
        for (const auto& [name, content] : c.files) serveFile(id, name, content);
        try {
            byName(id);
            ADD_FAILURE() << "loaded";
        } catch (const std::exception& error) {
            c.check(error);
        }
    }

    serveFixture("fixtures/gpt2", "gpt2");
    const HubApiWrapper unreachable(platform::URL::fileURLWithPath(cache().string(), true), std::nullopt,
                                    "http://127.0.0.1:1");
    try {
        AutoTokenizerWrapper::fromPretrained("fixtures/gpt2", unreachable, true);
        ADD_FAILURE() << "loaded from a hub that is not there";
    } catch (const std::exception& error) {
        hubError(HubKind::downloadError, "Download failed: Could not connect to the server.")(error);
    }
}

} // namespace
} // namespace celvan
