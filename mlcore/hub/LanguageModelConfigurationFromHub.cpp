#include "mlcore/hub/LanguageModelConfigurationFromHub.h"

#include <exception>
#include <vector>

#include "mlcore/hub/Hub.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/JsonReader.h"
#include "platform/net/URLError.h"
#include "platform/text/CaseMapping.h"
#include "platform/text/Utf.h"

namespace celvan {

namespace {

const std::vector<std::string> kConfigurationFiles = {"config.json", "tokenizer_config.json", "chat_template.jinja",
                                                      "chat_template.json", "tokenizer.json"};

bool isWordSeparator(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Each word's first letter upper case and the rest lower case: "llama"
// gives "Llama", "gpt_neox" gives "Gpt_neox". Model types are ASCII names;
// a first letter outside ASCII keeps its case.
std::string capitalized(const std::string& text) {
    std::string result;
    std::size_t start = 0;
    while (start < text.size()) {
        if (isWordSeparator(text[start])) {
            result.push_back(text[start++]);
            continue;
        }
        std::size_t end = start;
        while (end < text.size() && !isWordSeparator(text[end])) ++end;
        const char first = text[start];
        const bool asciiLetter = first >= 'a' && first <= 'z';
        result.push_back(asciiLetter ? static_cast<char>(first - 'a' + 'A') : first);
        result += platform::text::lowercased(std::string_view(text).substr(start + 1, end - start - 1));
        start = end;
    }
    return result;
}

// Bytes that are not UTF-8 are no text, just as a file that cannot be read.
std::optional<std::string> readText(const platform::URL& file) {
    const auto bytes = platform::FileManager::contents(file.path());
    if (!bytes) return std::nullopt;
    std::string text(bytes->begin(), bytes->end());
    if (platform::text::repairUtf8(text) != text) return std::nullopt;
    return text;
}

bool exists(const platform::URL& file) { return platform::FileManager::fileExists(file.path()); }

std::optional<std::string> chatTemplate(const platform::URL& folder, const HubApi& hubApi) {
    const platform::URL jinja = folder.appendingPathComponent("chat_template.jinja");
    if (exists(jinja)) return readText(jinja);
    const platform::URL json = folder.appendingPathComponent("chat_template.json");
    if (!exists(json)) return std::nullopt;
    try {
        // A list of named templates, or a broken file, gives no template.
        return hubApi.configuration(json)["chatTemplate"].string();
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

Config withChatTemplate(const std::optional<Config>& tokenizerConfig, const std::string& text) {
    Config::Dictionary entries;
    if (tokenizerConfig && tokenizerConfig->dictionary() != nullptr) entries = *tokenizerConfig->dictionary();
    entries.insert_or_assign(BinaryDistinctString("chat_template"), Config(text));
    return Config(std::move(entries));
}

LanguageModelConfigurationFromHub::Configurations readFolder(const platform::URL& folder, const HubApi& hubApi) {
    LanguageModelConfigurationFromHub::Configurations configurations;
    const platform::URL modelConfig = folder.appendingPathComponent("config.json");
    if (exists(modelConfig)) configurations.modelConfig = hubApi.configuration(modelConfig);

    const platform::URL tokenizerData = folder.appendingPathComponent("tokenizer.json");
    if (!exists(tokenizerData)) throw Hub::HubClientError::configurationMissing("tokenizer.json");
    configurations.tokenizerData = hubApi.configuration(tokenizerData);

    const platform::URL tokenizerConfig = folder.appendingPathComponent("tokenizer_config.json");
    if (exists(tokenizerConfig)) configurations.tokenizerConfig = hubApi.configuration(tokenizerConfig);

    if (auto text = chatTemplate(folder, hubApi)) {
        configurations.tokenizerConfig = withChatTemplate(configurations.tokenizerConfig, *text);
    }
    return configurations;
}

}  // namespace

LanguageModelConfigurationFromHub::LanguageModelConfigurationFromHub(const std::string& modelName,
                                                                     const std::string& revision,
                                                                     const HubApiWrapper& hubApi)
    : configPromise_([modelName, revision, hub = hubApi.impl] {
          return std::make_shared<const Configurations>(loadConfig(modelName, revision, hub));
      }) {}

LanguageModelConfigurationFromHub::LanguageModelConfigurationFromHub(const platform::URL& modelFolder,
                                                                     const HubApiWrapper& hubApi)
    : configPromise_([modelFolder, hub = hubApi.impl] {
          return std::make_shared<const Configurations>(loadConfig(modelFolder, hub));
      }) {}

LanguageModelConfigurationFromHub::Configurations LanguageModelConfigurationFromHub::loadConfig(
    const std::string& modelName, const std::string& revision, const HubApi& hubApi) {
    try {
        const platform::URL folder = hubApi.snapshot({modelName, HubApi::RepoType::models}, revision,
                                                     kConfigurationFiles);
        return loadConfig(folder, hubApi);
    } catch (const platform::URLError& error) {
        if (error.code() == platform::URLError::Code::resourceUnavailable) {
            throw Hub::HubClientError::resourceNotFound(modelName);
        }
        throw Hub::HubClientError::networkError(error);
    }
}

LanguageModelConfigurationFromHub::Configurations LanguageModelConfigurationFromHub::loadConfig(
    const platform::URL& modelFolder, const HubApi& hubApi) {
    try {
        return readFolder(modelFolder, hubApi);
    } catch (const Hub::HubClientError&) {
        throw;
    } catch (const platform::JSONReadError& error) {
        throw Hub::HubClientError::parseError(std::string("Invalid JSON format: ") + error.what());
    } catch (const std::exception&) {
        throw Hub::HubClientError::fileSystemError(std::current_exception());
    }
}

std::optional<Config> LanguageModelConfigurationFromHub::tokenizerConfig() const {
    const auto configurations = configPromise_.value();
    if (!configurations->tokenizerConfig) return std::nullopt;
    const Config& tokenizerConfig = *configurations->tokenizerConfig;
    if (tokenizerConfig["tokenizerClass"].string()) return tokenizerConfig;
    const auto type = modelType();
    if (!type) return tokenizerConfig;
    Config::Dictionary entries;
    if (tokenizerConfig.dictionary() != nullptr) entries = *tokenizerConfig.dictionary();
    entries.insert_or_assign(BinaryDistinctString("tokenizer_class"), Config(capitalized(*type) + "Tokenizer"));
    return Config(std::move(entries));
}

const Config& LanguageModelConfigurationFromHub::tokenizerData() const {
    return configPromise_.value()->tokenizerData;
}

std::optional<std::string> LanguageModelConfigurationFromHub::modelType() const {
    const auto configurations = configPromise_.value();
    if (!configurations->modelConfig) return std::nullopt;
    return (*configurations->modelConfig)["modelType"].string();
}

}  // namespace celvan
