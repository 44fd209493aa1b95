#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/concurrency/Progress.h"
#include "platform/foundation/URL.h"
#include "speech/model/ModelSupport.h"

namespace sonoscribe {

// The engine's static operations that choose a model for this machine and
// fetch a model folder from a hub repository (one folder per variant, a
// support configuration at the root). The engine class inherits them, so they
// read as Sonoscribe::download(...) and so on.
class SonoscribeModelHub {
public:
    using DownloadProgressCallback = std::function<void(const platform::Progress&)>;

    static std::string deviceName();
    // From the built-in table; no network.
    static ModelSupport recommendedModels();
    static ModelSupport recommendedRemoteModels(const std::string& repo, const std::optional<platform::URL>& downloadBase,
                                                const std::optional<std::string>& token,
                                                const std::string& remoteConfigName, const std::string& endpoint);
    // The repository's support configuration; the built-in one whenever it
    // cannot be listed, fetched or read. Never throws.
    static ModelSupportConfig fetchModelSupportConfig(const std::string& repo,
                                                      const std::optional<platform::URL>& downloadBase,
                                                      const std::optional<std::string>& token,
                                                      const std::string& remoteConfigName,
                                                      const std::string& endpoint);
    // The supported models of this machine that match any pattern, as
    // formatModelFiles orders them.
    static std::vector<std::string> fetchAvailableModels(const std::string& repo,
                                                         const std::vector<std::string>& matching,
                                                         const std::optional<platform::URL>& downloadBase,
                                                         const std::optional<std::string>& token,
                                                         const std::string& remoteConfigName,
                                                         const std::string& endpoint);
    // Downloads the one folder whose name ends with the variant (preferring
    // one with "openai" in its name when several do) and returns it. Throws
    // the hub's errors, or WhisperError (modelsUnavailable) when no single
    // folder matches.
    static platform::URL download(const std::string& variant, const std::optional<platform::URL>& downloadBase,
                                  bool useBackgroundSession, const std::string& repo,
                                  const std::optional<std::string>& token, const std::string& endpoint,
                                  const DownloadProgressCallback& progressCallback = {});
};

}  // namespace sonoscribe
