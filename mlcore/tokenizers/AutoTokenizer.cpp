#include "mlcore/tokenizers/AutoTokenizer.h"

#include "mlcore/foundation/JSONSerializationBOM.h"
#include "mlcore/hub/Hub.h"
#include "mlcore/tokenizers/TokenizerError.h"
#include "mlcore/tokenizers/TokenizerModel.h"
#include <cctype>

#include <fstream>
#include <iterator>
#include <optional>
#include <system_error>

namespace celvan {
namespace {

std::optional<Config> readConfiguration(const std::filesystem::path& file) {
    std::error_code error;
    if (!std::filesystem::exists(file, error)) return std::nullopt;
    std::vector<uint8_t> data;
    try {
        std::ifstream in(file, std::ios::binary);
        if (!in) throw std::system_error(errno, std::generic_category(), "Cannot read " + file.string());
        data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (in.bad()) throw std::system_error(errno, std::generic_category(), "Cannot read " + file.string());
    } catch (const std::exception&) {
        throw Hub::HubClientError::fileSystemError(std::current_exception());
    }
    Config config;
    try {
        config = Config::convertToBinaryDistinctKeys(bomPreservingJsonObject(data));
    } catch (const platform::JSONReadError& parseError) {
        throw Hub::HubClientError::parseError(std::string("Invalid JSON format: ") + parseError.what());
    }
    if (!config.dictionary()) {
        throw Hub::HubClientError::parseError("Invalid JSON format: " + file.filename().string() + " is no object");
    }
    return config;
}

// "llama" becomes "Llama", "gpt_neox" "Gpt_neox": words, cut only at
// whitespace, start upper-case and go on lower-case.
std::string capitalized(const std::string& text) {
    std::string out;
    bool wordStart = true;
    for (char c : text) {
        const bool space = c == ' ' || c == '\t' || c == '\n' || c == '\r';
        if (static_cast<unsigned char>(c) < 0x80) {
            out += wordStart && !space ? static_cast<char>(std::toupper(c)) : static_cast<char>(std::tolower(c));
        } else {
            out += c;
        }
        wordStart = space;
    }
    return out;
}

// A configuration without its class name takes it from the model's type.
Config withTokenizerClass(const Config& tokenizerConfig, const std::optional<Config>& modelConfig) {
    if (tokenizerConfig["tokenizerClass"].string() || !modelConfig) return tokenizerConfig;
    const auto modelType = (*modelConfig)["modelType"].string();
    if (!modelType) return tokenizerConfig;
    Config::Dictionary entries;
    if (const auto* existing = tokenizerConfig.dictionary()) entries = *existing;
    entries.insert_or_assign(BinaryDistinctString("tokenizer_class"), Config(capitalized(*modelType) + "Tokenizer"));
    return Config(std::move(entries));
}

} // namespace

std::shared_ptr<const Tokenizer> AutoTokenizer::fromModelFolder(const std::filesystem::path& modelFolder, bool strict) {
    const auto modelConfig = readConfiguration(modelFolder / "config.json");
    const auto tokenizerData = readConfiguration(modelFolder / "tokenizer.json");
    if (!tokenizerData) throw Hub::HubClientError::configurationMissing("tokenizer.json");
    const auto tokenizerConfig = readConfiguration(modelFolder / "tokenizer_config.json");
    if (!tokenizerConfig) throw TokenizerError::missingConfig();
    return std::make_shared<const PreTrainedTokenizer>(withTokenizerClass(*tokenizerConfig, modelConfig),
                                                       *tokenizerData, strict);
}

AutoTokenizer::TokenizerClass AutoTokenizer::tokenizerClass(const Config& tokenizerConfig) {
    if (tokenizerConfig.dictionary()) {
        if (auto name = tokenizerConfig["tokenizerClass"].string(); name && removingFast(*name) == "LlamaTokenizer") {
            return [](const Config& config, const Config& data, bool strict) {
                return std::make_shared<const LlamaPreTrainedTokenizer>(config, data, strict);
            };
        }
    }
    return [](const Config& config, const Config& data, bool strict) {
        return std::make_shared<const PreTrainedTokenizer>(config, data, strict);
    };
}

} // namespace celvan
