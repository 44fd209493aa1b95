#include "app/formatting/FormattingConfig.h"

#include "app/formatting/AnthropicFormatter.h"
#include "app/formatting/ChatCompletionsFormatter.h"
#include "app/formatting/GeminiFormatter.h"
#include "app/formatting/KeychainHelper.h"
#include "app/formatting/OllamaFormatter.h"
#include "app/formatting/OpenAIResponsesFormatter.h"
#include "platform/foundation/JsonValue.h"
#include "platform/text/UnicodeProperties.h"

namespace dictaro {

namespace {

constexpr const char* kEnabledKey = "FormattingEnabled";
constexpr const char* kProviderKey = "FormattingProvider";
constexpr const char* kModelKeyPrefix = "FormattingModel-";
constexpr const char* kLegacyOllamaModelKey = "OllamaModel";
constexpr const char* kOllamaHostKey = "OllamaHost";

std::string modelKey(FormattingProvider provider) { return kModelKeyPrefix + std::string(rawValue(provider)); }

}  // namespace

const platform::URL& FormattingConfig::defaultOllamaHost() {
    static const platform::URL host = *platform::URL::fromString("http://localhost:11434");
    return host;
}

std::optional<platform::URL> FormattingConfig::ollamaHostURL(std::string_view text) {
    std::optional<platform::URL> url = platform::URL::fromString(text);
    if (!url || (url->scheme() != "http" && url->scheme() != "https") || !url->host() || url->host()->empty()) {
        return std::nullopt;
    }
    return url;
}

std::string apiKeyAccount(FormattingProvider provider) { return std::string(rawValue(provider)) + "-api-key"; }

FormattingConfig FormattingConfig::fromDefaults(const platform::UserDefaults& defaults) {
    FormattingConfig config;
    config.enabled = defaults.boolean(kEnabledKey).value_or(true);
    config.provider = formattingProvider(defaults.string(kProviderKey).value_or("ollama"));
    for (FormattingProvider provider : kAllFormattingProviders) {
        if (auto model = defaults.string(modelKey(provider))) config.modelByProvider[provider] = *model;
    }
    if (!config.modelByProvider.contains(FormattingProvider::ollama)) {
        if (auto model = defaults.string(kLegacyOllamaModelKey)) config.modelByProvider[FormattingProvider::ollama] = *model;
    }
    if (auto text = defaults.string(kOllamaHostKey)) {
        if (auto host = ollamaHostURL(*text)) config.ollamaHost = *host;
    }
    return config;
}

void FormattingConfig::save(platform::UserDefaults& defaults) const {
    const platform::URL& host = ollamaHostURL(ollamaHost.absoluteString()) ? ollamaHost : defaultOllamaHost();
    std::vector<std::pair<std::string, platform::JSONValue>> values{
        {kEnabledKey, platform::JSONNumber::boolean(enabled)},
        {kProviderKey, std::string(rawValue(provider))},
        {kOllamaHostKey, host.absoluteString()},
    };
    for (const auto& [provider, model] : modelByProvider) values.emplace_back(modelKey(provider), model);
    defaults.set(std::move(values));
}

std::string FormattingConfig::model() const {
    if (auto found = modelByProvider.find(provider); found != modelByProvider.end()) return found->second;
    return suggestedModels(provider).front();
}

std::shared_ptr<FormattingService> FormattingConfig::buildService() const {
    if (provider == FormattingProvider::ollama) return std::make_shared<OllamaFormatter>(ollamaHost, model());
    const std::optional<std::string> key = KeychainHelper::get(apiKeyAccount(provider));
    if (!key) return nullptr;
    switch (provider) {
        case FormattingProvider::anthropic: return std::make_shared<AnthropicFormatter>(*key, model());
        case FormattingProvider::openai: return std::make_shared<OpenAIResponsesFormatter>(*key, model());
        case FormattingProvider::gemini: return std::make_shared<GeminiFormatter>(*key, model());
        case FormattingProvider::zaiGLM:
            return std::make_shared<ChatCompletionsFormatter>(*platform::URL::fromString(kZaiGLMBaseURL), *key, model());
        case FormattingProvider::ollama: break;
    }
    return nullptr;
}

bool FormattingConfig::setAPIKey(std::string_view key, FormattingProvider provider) {
    if (provider == FormattingProvider::ollama) return true;
    const std::string trimmed(platform::text::trimmingWhitespacesAndNewlines(key));
    if (trimmed.empty()) return KeychainHelper::remove(apiKeyAccount(provider));
    return KeychainHelper::set(trimmed, apiKeyAccount(provider));
}

}  // namespace dictaro
