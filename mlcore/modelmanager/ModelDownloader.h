#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "mlcore/foundation/ModelState.h"
#include "mlcore/hub/HubApi.h"
#include "mlcore/modelmanager/ModelDownloadConfig.h"
#include "mlcore/modelmanager/ModelInfo.h"
#include "platform/concurrency/Progress.h"
#include "platform/foundation/URL.h"

namespace celvan {

// Finds a model on disk or fetches it from the hub: first a folder the caller
// names, then the local copy of the repository, then the hub. Holds nothing
// but its configuration and builds a fresh hub client for every call, so any
// number of calls may run at once; the callbacks run on the calling thread.
class ModelDownloader {
public:
    using ProgressCallback = std::function<void(const platform::Progress&)>;
    using ModelStateCallback = std::function<void(ModelState)>;

    explicit ModelDownloader(ModelDownloadConfig config);
    // No download base and no model folder: the hub client's cache only.
    ModelDownloader(std::string endpoint, std::string repoName, std::optional<std::string> modelToken,
                    std::string revision, bool useBackgroundSession);
    virtual ~ModelDownloader() = default;

    const ModelDownloadConfig& config() const noexcept { return config_; }

    // Brings the files of the model's folder into the local repository copy
    // and returns that copy's folder. Offline, the hub is first asked whether
    // it has such files at all, and only the local copy is checked.
    virtual platform::URL downloadModel(const ModelInfo& modelInfo, const std::optional<platform::URL>& downloadBase,
                                        std::optional<bool> useOfflineMode) const;
    // <download base>/models/<repository id>.
    virtual platform::URL localRepoLocation(const std::optional<platform::URL>& downloadBase) const;
    // The compiled model `modelName` of `modelInfo`: from the model folder,
    // else from a complete local copy, else downloaded when `download` is
    // true. Reports downloaded (after downloading) through the callback.
    virtual platform::URL resolveModel(const std::string& modelName, const ModelInfo& modelInfo,
                                       const std::optional<platform::URL>& modelFolder,
                                       const std::optional<platform::URL>& downloadBase, bool download,
                                       const ModelStateCallback& modelStateCallback) const;
    virtual std::string resolveModelPath(const std::string& modelName, const ModelInfo& modelInfo,
                                         const std::optional<platform::URL>& modelFolder,
                                         const std::optional<platform::URL>& downloadBase, bool download,
                                         const ModelStateCallback& modelStateCallback) const;
    // The local repository folder once every pattern's folder is present,
    // downloading all the patterns when one is not and `download` is true.
    virtual platform::URL resolveRepo(const std::vector<std::string>& patterns,
                                      const std::optional<platform::URL>& downloadBase, bool download,
                                      const ProgressCallback& progressCallback) const;
    virtual std::vector<std::string> fetchFilenames(const std::vector<std::string>& matching,
                                                    const std::optional<platform::URL>& downloadBase) const;
    // The compiled model (or package) of that name in the folder, if it is there.
    virtual std::optional<platform::URL> modelURLIfExists(const platform::URL& inFolder, const std::string& named) const;

private:
    std::optional<platform::URL> effectiveDownloadBase(const std::optional<platform::URL>& downloadBase) const;
    HubApi hubClient(const std::optional<platform::URL>& downloadBase, std::optional<bool> useOfflineMode) const;
    HubApi::Repo repo() const;
    std::optional<platform::URL> completeModel(const platform::URL& repoFolder, const ModelInfo& modelInfo,
                                               const std::string& modelName) const;
    bool listedFilesArePresent(const platform::URL& repoFolder, const std::string& pattern,
                               const std::optional<platform::URL>& downloadBase) const;
    std::optional<platform::URL> cachedModel(const std::string& modelName, const ModelInfo& modelInfo,
                                             const std::optional<platform::URL>& downloadBase) const;
    bool patternsExistLocally(const std::vector<std::string>& patterns, const platform::URL& in) const;

    const ModelDownloadConfig config_;
};

}  // namespace celvan
