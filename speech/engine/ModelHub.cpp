#include "speech/engine/ModelHub.h"

#include <set>

#include "mlcore/foundation/FoundationExtensions.h"
#include "mlcore/foundation/Logging.h"
#include "mlcore/hub/HubWrapper.h"
#include "platform/concurrency/CancellationError.h"
#include "platform/foundation/FileManager.h"
#include "speech/engine/ModelUtilities.h"
#include "speech/model/Constants.h"
#include "speech/model/WhisperError.h"

namespace sonoscribe {
namespace {

using celvan::HubApiWrapper;
using celvan::Logging;

constexpr const char* revision = "main";

HubApiWrapper::Repo modelRepo(const std::string& id) { return {id, HubApiWrapper::RepoType::models}; }

std::string quotedList(const std::vector<std::string>& names) {
    std::string text = "[";
    for (std::size_t i = 0; i < names.size(); ++i) text += (i > 0 ? ", \"" : "\"") + names[i] + "\"";
    return text + "]";
}

// The distinct top-level folders of a listing.
std::set<std::string> topFolders(const std::vector<std::string>& paths) {
    std::set<std::string> folders;
    for (const std::string& path : paths) folders.insert(path.substr(0, path.find('/')));
    return folders;
}

std::string progressDescription(const platform::Progress& progress) {
    return "Progress: " + std::to_string(progress.completedUnitCount()) + " of " +
           std::to_string(progress.totalUnitCount()) + " (" + std::to_string(progress.fractionCompleted()) + ")";
}

}  // namespace

std::string SonoscribeModelHub::deviceName() { return celvan::ProcessInfo::hwModel(); }

ModelSupport SonoscribeModelHub::recommendedModels() {
    const std::string device = deviceName();
    Logging::debug("Running on " + device);
    return Constants::fallbackModelSupportConfig().modelSupport(device);
}

ModelSupport SonoscribeModelHub::recommendedRemoteModels(const std::string& repo,
                                                         const std::optional<platform::URL>& downloadBase,
                                                         const std::optional<std::string>& token,
                                                         const std::string& remoteConfigName,
                                                         const std::string& endpoint) {
    return fetchModelSupportConfig(repo, downloadBase, token, remoteConfigName, endpoint).modelSupport(deviceName());
}

ModelSupportConfig SonoscribeModelHub::fetchModelSupportConfig(const std::string& repo,
                                                               const std::optional<platform::URL>& downloadBase,
                                                               const std::optional<std::string>& token,
                                                               const std::string& remoteConfigName,
                                                               const std::string& endpoint) {
    const ModelSupportConfig fallback = Constants::fallbackModelSupportConfig();
    try {
        const HubApiWrapper hubApi(downloadBase, token, endpoint, false);
        Logging::debug("Searching for config file matching \"" + remoteConfigName + "\" in " + repo);
        const std::vector<std::string> files = hubApi.getFilenames(modelRepo(repo), revision, {remoteConfigName});
        if (files.empty()) {
            Logging::info("No config files found matching \"" + remoteConfigName + "\" in " + repo + ", using fallback");
            return fallback;
        }
        if (files.size() > 1) {
            Logging::info("Multiple config files found (" + std::to_string(files.size()) + "): " + quotedList(files) +
                          ". Using first matching file: " + files.front());
        }
        const platform::URL folder = hubApi.snapshot(modelRepo(repo), revision, {files.front()});
        const std::string path = folder.appendingPathComponent(files.front()).path();
        const std::optional<std::vector<uint8_t>> bytes = platform::FileManager::contents(path);
        if (!bytes) throw std::runtime_error("The file \"" + path + "\" couldn't be read.");
        return decodeJSON<ModelSupportConfig>(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
    } catch (const platform::CancellationError&) {
        throw;
    } catch (const std::exception& error) {
        Logging::error(std::string("Fetch model support config failed with error: ") + error.what());
        return fallback;
    }
}

std::vector<std::string> SonoscribeModelHub::fetchAvailableModels(const std::string& repo,
                                                                  const std::vector<std::string>& matching,
                                                                  const std::optional<platform::URL>& downloadBase,
                                                                  const std::optional<std::string>& token,
                                                                  const std::string& remoteConfigName,
                                                                  const std::string& endpoint) {
    const ModelSupport support =
        fetchModelSupportConfig(repo, downloadBase, token, remoteConfigName, endpoint).modelSupport(deviceName());
    std::set<std::string> selected;
    for (const std::string& glob : matching) {
        for (const std::string& name : celvan::matching(support.supported(), glob)) selected.insert(name);
    }
    return ModelUtilities::formatModelFiles({selected.begin(), selected.end()});
}

platform::URL SonoscribeModelHub::download(const std::string& variant, const std::optional<platform::URL>& downloadBase,
                                           bool useBackgroundSession, const std::string& repo,
                                           const std::optional<std::string>& token, const std::string& endpoint,
                                           const DownloadProgressCallback& progressCallback) {
    const HubApiWrapper hubApi(downloadBase, token, endpoint, useBackgroundSession);
    const HubApiWrapper::Repo hubRepo = modelRepo(repo);
    const std::string repoText = celvan::description(hubRepo);
    try {
        std::string pattern = "*" + variant + "/*";
        Logging::debug("Searching for models matching \"" + pattern + "\" in " + repoText);
        std::set<std::string> folders = topFolders(hubApi.getFilenames(hubRepo, revision, {pattern}));
        if (folders.size() != 1) {
            if (folders.size() > 1) Logging::debug("Multiple models found matching \"" + pattern + "\"");
            pattern = "*openai*" + variant + "/*";
            Logging::debug("Searching for models matching \"" + pattern + "\" in " + repoText);
            folders = topFolders(hubApi.getFilenames(hubRepo, revision, {pattern}));
            if (folders.size() != 1) {
                throw WhisperError::modelsUnavailable(std::string(folders.empty() ? "No" : "Multiple") +
                                                      " models found matching \"" + pattern + "\" in " + repoText);
            }
        }
        const std::string variantFolder = *folders.begin();
        Logging::debug("Downloading model " + variantFolder + "...");
        const platform::URL snapshot =
            hubApi.snapshot(hubRepo, revision, {pattern}, [&](const platform::Progress& progress) {
                Logging::debug(progressDescription(progress));
                if (progressCallback) progressCallback(progress);
            });
        return snapshot.appendingPathComponent(variantFolder + "/");
    } catch (const std::exception& error) {
        Logging::debug(std::string(error.what()));
        throw;
    }
}

}  // namespace sonoscribe
