#include "app/formatting/FormattingProvider.h"

namespace dictaro {

namespace {

struct ProviderInfo {
    std::string_view rawValue;
    std::string_view displayName;
    bool needsAPIKey;
    std::vector<std::string> suggestedModels;
};

const ProviderInfo& info(FormattingProvider provider) {
    static const std::array<ProviderInfo, 5> table{{
        {"ollama", "Ollama (local)", false, {"qwen3:4b", "gemma3:4b", "qwen3:8b", "phi4-mini", "llama3.2:3b", "llama3.3"}},
        {"anthropic", "Anthropic (Claude)", true, {"claude-haiku-4-5-20251001", "claude-sonnet-4-6", "claude-opus-4-1-20250805"}},
        {"openai", "OpenAI", true, {"gpt-5.4-mini", "gpt-5.4-nano", "gpt-5.4", "gpt-5.5"}},
        {"gemini", "Google Gemini", true,
         {"gemini-2.5-flash-lite", "gemini-2.5-flash", "gemini-3-flash-preview", "gemini-flash-latest"}},
        {"zaiGLM", "Z.ai (GLM)", true, {"glm-5.1", "glm-4.7", "glm-4.6"}},
    }};
    return table[static_cast<std::size_t>(provider)];
}

}  // namespace

std::string_view rawValue(FormattingProvider provider) noexcept { return info(provider).rawValue; }

FormattingProvider formattingProvider(std::string_view rawValue) noexcept {
    for (FormattingProvider provider : kAllFormattingProviders) {
        if (info(provider).rawValue == rawValue) return provider;
    }
    return FormattingProvider::ollama;
}

std::string_view displayName(FormattingProvider provider) noexcept { return info(provider).displayName; }

bool needsAPIKey(FormattingProvider provider) noexcept { return info(provider).needsAPIKey; }

const std::vector<std::string>& suggestedModels(FormattingProvider provider) { return info(provider).suggestedModels; }

}  // namespace dictaro
