#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace dictaro {

// The language-model services a transcript can be rewritten by, in the
// order the settings list them.
enum class FormattingProvider { ollama, anthropic, openai, gemini, zaiGLM };

inline constexpr std::array<FormattingProvider, 5> kAllFormattingProviders{
    FormattingProvider::ollama, FormattingProvider::anthropic, FormattingProvider::openai,
    FormattingProvider::gemini, FormattingProvider::zaiGLM};

std::string_view rawValue(FormattingProvider provider) noexcept;
// A text that names no provider is ollama.
FormattingProvider formattingProvider(std::string_view rawValue) noexcept;
std::string_view displayName(FormattingProvider provider) noexcept;
bool needsAPIKey(FormattingProvider provider) noexcept;
// Never empty; the first is the default model.
const std::vector<std::string>& suggestedModels(FormattingProvider provider);

}  // namespace dictaro
