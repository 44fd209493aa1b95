#pragma once

#include <memory>
#include <optional>
#include <string>

#include "mlcore/foundation/Config.h"
#include "mlcore/hub/HubApi.h"
#include "mlcore/hub/HubWrapper.h"
#include "platform/concurrency/Task.h"
#include "platform/foundation/URL.h"

namespace celvan {

// The configuration files a tokenizer needs, read from a hub repository
// (only those files are fetched) or from a model folder. Loading starts in
// the background at construction; every accessor waits for that one load
// and rethrows its error.
class LanguageModelConfigurationFromHub {
public:
    struct Configurations {
        // "config.json".
        std::optional<Config> modelConfig;
        // "tokenizer_config.json" with the chat template under
        // "chat_template".
        std::optional<Config> tokenizerConfig;
        // "tokenizer.json".
        Config tokenizerData;
    };

    LanguageModelConfigurationFromHub(const std::string& modelName, const std::string& revision,
                                      const HubApiWrapper& hubApi);
    LanguageModelConfigurationFromHub(const platform::URL& modelFolder, const HubApiWrapper& hubApi);

    // With "tokenizer_class" derived from the model type when the file
    // names none.
    std::optional<Config> tokenizerConfig() const;
    // Valid while this object lives: a tokenizer file can run to megabytes,
    // too much to copy for every reader.
    const Config& tokenizerData() const;
    std::optional<std::string> modelType() const;

    static Configurations loadConfig(const std::string& modelName, const std::string& revision, const HubApi& hubApi);
    static Configurations loadConfig(const platform::URL& modelFolder, const HubApi& hubApi);

private:
    platform::Task<std::shared_ptr<const Configurations>> configPromise_;
};

}  // namespace celvan
