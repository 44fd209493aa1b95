#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "app/formatting/FormattingProvider.h"
#include "app/formatting/FormattingService.h"
#include "platform/foundation/URL.h"
#include "platform/settings/UserDefaults.h"

namespace dictaro {

// Whether and how transcripts are rewritten: kept in the settings file, with
// the cloud providers' keys in the secret store.
struct FormattingConfig {
    static constexpr std::string_view notificationName = "DictaroFormattingConfigDidChange";
    static const platform::URL& defaultOllamaHost();
    static constexpr const char* kZaiGLMBaseURL = "https://api.z.ai/api/paas/v4";

    bool enabled = true;
    FormattingProvider provider = FormattingProvider::ollama;
    std::map<FormattingProvider, std::string> modelByProvider;
    platform::URL ollamaHost = defaultOllamaHost();

    static FormattingConfig fromDefaults(const platform::UserDefaults& defaults);
    // Throws std::filesystem::filesystem_error when the settings cannot be written.
    void save(platform::UserDefaults& defaults) const;

    // The model chosen for `provider`, else its first suggestion.
    std::string model() const;
    // The formatter for `provider`; none when it needs a key and none is stored.
    std::shared_ptr<FormattingService> buildService() const;

    // Stores the trimmed key, or removes it when only blanks are left.
    // Returns whether the secret store did so.
    static bool setAPIKey(std::string_view key, FormattingProvider provider);

    // An Ollama host is an http or https address with a host; anything else
    // (a "localhost:11434" without scheme, a file address) is none.
    static std::optional<platform::URL> ollamaHostURL(std::string_view text);

    friend bool operator==(const FormattingConfig&, const FormattingConfig&) = default;
};

// The secret store's account of a provider's key.
std::string apiKeyAccount(FormattingProvider provider);

}  // namespace dictaro
