#include "mlcore/hub/LanguageModelConfigurationFromHub.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "mlcore/hub/Hub.h"
#include "tests/support/HubTestEnvironment.h"
#include "platform/concurrency/Task.h"

namespace celvan {
namespace {

class LanguageModelConfigurationTest : public testing::HubTestEnvironment {
protected:
    std::filesystem::path folder() const { return scratch() / "model"; }

    void put(const std::string& name, const std::string& content) { writeFile(folder() / name, content); }

    HubApiWrapper wrapper() const { return HubApiWrapper(platform::URL::fileURLWithPath(cache().string(), true)); }

    LanguageModelConfigurationFromHub fromFolder() const {
        return LanguageModelConfigurationFromHub(platform::URL::fileURLWithPath(folder().string(), true), wrapper());
    }

    static std::optional<std::string> text(const std::optional<Config>& config, const char* key) {
        if (!config) return std::nullopt;
        return (*config)[BinaryDistinctString(key)].string();
    }

    static Hub::HubClientError::Kind failureOf(const LanguageModelConfigurationFromHub& loader) {
        try {
            loader.tokenizerData();
        } catch (const Hub::HubClientError& error) {
            return error.kind();
        }
        ADD_FAILURE() << "loaded";
        return Hub::HubClientError::Kind::unexpectedError;
    }
};

TEST_F(LanguageModelConfigurationTest, ChatTemplatesAreMergedIntoTheTokenizerConfiguration) {
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, std::string>> files;
        std::optional<std::string> chatTemplate;  // of the tokenizer configuration
        bool hasTokenizerConfig;
    };
    const std::vector<Case> cases = {
        {"tokenizer data alone", {}, std::nullopt, false},
        {"jinja without tokenizer configuration", {{"chat_template.jinja", "{{ a }}"}}, "{{ a }}", true},
        {"jinja wins over json",
         {{"chat_template.jinja", "J"}, {"chat_template.json", "{\"chat_template\":\"S\"}"}},
         "J",
         true},
        {"json template, camelCase key also found", {{"chat_template.json", "{\"chatTemplate\":\"S\"}"}}, "S", true},
        {"list of named templates adds nothing",
         {{"chat_template.json", "{\"chat_template\":[{\"name\":\"x\",\"template\":\"T\"}]}"}},
         std::nullopt,
         false},
        {"broken json template adds nothing", {{"chat_template.json", "{"}}, std::nullopt, false},
        {"jinja that is not UTF-8 is no template, and the json is not read then",
         {{"chat_template.jinja", "{{ \xFF\xFE }}"}, {"chat_template.json", "{\"chat_template\":\"S\"}"}},
         std::nullopt,
         false},
        {"template file replaces the configuration's own",
         {{"tokenizer_config.json", "{\"chat_template\":\"old\",\"chatTemplate\":\"kept\",\"x\":1}"},
          {"chat_template.jinja", "new"}},
         "new",
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(folder());
        put("tokenizer.json", "{\"model\":{\"type\":\"BPE\"}}");
        for (const auto& [name, content] : c.files) put(name, content);
        const auto loader = fromFolder();
        const auto config = loader.tokenizerConfig();
        EXPECT_EQ(config.has_value(), c.hasTokenizerConfig);
        EXPECT_EQ(text(config, "chat_template"), c.chatTemplate);
        EXPECT_EQ(loader.tokenizerData()["model"]["type"].string(), "BPE");
    }
    const auto kept = fromFolder().tokenizerConfig();
    EXPECT_EQ(text(kept, "chatTemplate"), "kept");
    EXPECT_EQ((*kept)[BinaryDistinctString("x")].integer(), 1);
}

TEST_F(LanguageModelConfigurationTest, AMissingTokenizerClassComesFromTheModelType) {
    struct Case {
        const char* tokenizerConfig;
        const char* modelConfig;
        std::optional<std::string> tokenizerClass;
    };
    for (const auto& c : std::vector<Case>{
             {"{\"tokenizer_class\":\"BertTokenizer\"}", "{\"model_type\":\"llama\"}", "BertTokenizer"},
             {"{\"tokenizer_class\":null}", "{\"model_type\":\"llama\"}", "LlamaTokenizer"},
             {"{}", "{\"model_type\":\"gpt_neox\"}", "Gpt_neoxTokenizer"},
             {"{}", "{\"modelType\":\"GPT2\"}", "Gpt2Tokenizer"},
             {"{}", "{}", std::nullopt},
             {"{}", nullptr, std::nullopt}}) {
        SCOPED_TRACE(c.tokenizerConfig + std::string(" / ") + (c.modelConfig ? c.modelConfig : "no config.json"));
        std::filesystem::remove_all(folder());
        put("tokenizer.json", "{}");
        put("tokenizer_config.json", c.tokenizerConfig);
        if (c.modelConfig) put("config.json", c.modelConfig);
        EXPECT_EQ(text(fromFolder().tokenizerConfig(), "tokenizer_class"), c.tokenizerClass);
    }
}

TEST_F(LanguageModelConfigurationTest, LoadFailuresAreHubErrorsThatEveryAccessorRethrows) {
    using Kind = Hub::HubClientError::Kind;
    put("config.json", "{\"model_type\":");
    EXPECT_EQ(failureOf(fromFolder()), Kind::jsonSerialization);  // read before tokenizer.json is missed

    std::filesystem::remove_all(folder());
    put("config.json", "{}");
    const auto missing = fromFolder();
    EXPECT_EQ(failureOf(missing), Kind::configurationMissing);
    try {
        missing.tokenizerConfig();
        ADD_FAILURE() << "loaded";
    } catch (const Hub::HubClientError& error) {
        EXPECT_EQ(std::string(error.what()), "Required configuration file missing: tokenizer.json");
    }
    EXPECT_THROW(missing.modelType(), Hub::HubClientError);

    put("tokenizer.json", "[]");
    EXPECT_EQ(failureOf(fromFolder()), Kind::parse);

    std::filesystem::remove(folder() / "tokenizer.json");
    std::filesystem::create_directory(folder() / "tokenizer.json");
    EXPECT_EQ(failureOf(fromFolder()), Kind::fileSystemError);
}

TEST_F(LanguageModelConfigurationTest, FromTheHubOnlyTheConfigurationFilesAreFetched) {
    serve("tokenizer.json", "{\"model\":{\"type\":\"WordPiece\"}}");
    serve("tokenizer_config.json", "{\"do_lower_case\":true}");
    serve("config.json", "{\"model_type\":\"bert\"}");
    serve("model.safetensors", bytes(1 << 16));

    const LanguageModelConfigurationFromHub loader(repoId, "main", wrapper());
    // Accessors awaited at once from several tasks observe the one load.
    platform::Task<std::optional<std::string>> other([&] { return loader.modelType(); });
    EXPECT_EQ(text(loader.tokenizerConfig(), "tokenizer_class"), "BertTokenizer");
    EXPECT_EQ(other.value(), "bert");
    EXPECT_EQ(loader.tokenizerData()["model"]["type"].string(), "WordPiece");
    EXPECT_EQ(server().requestCount("GET"), 4);  // the listing and three files
    EXPECT_FALSE(std::filesystem::exists(cached("model.safetensors")));

    std::filesystem::remove(serverRoot() / "models" / repoId / "tokenizer.json");
    std::filesystem::remove_all(cache());
    EXPECT_EQ(failureOf(LanguageModelConfigurationFromHub(repoId, "main", wrapper())),
              Hub::HubClientError::Kind::configurationMissing);
}

}  // namespace
}  // namespace celvan
