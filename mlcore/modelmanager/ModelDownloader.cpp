#include "mlcore/modelmanager/ModelDownloader.h"

#include <algorithm>
#include <filesystem>
#include <utility>

#include "mlcore/foundation/Logging.h"
#include "mlcore/foundation/ModelUtilities.h"
#include "mlcore/hub/CacheLayout.h"
#include "mlcore/hub/NetworkMonitor.h"
#include "mlcore/modelmanager/ModelDownloaderError.h"
#include "mlcore/modelmanager/UnfinishedDownloads.h"
#include "platform/concurrency/CancellationError.h"
#include "platform/foundation/FileManager.h"

namespace celvan {

namespace {

namespace fs = std::filesystem;

void logDebug(const std::string& message) { Logging::debug("[ModelDownloader] " + message); }
void logInfo(const std::string& message) { Logging::info("[ModelDownloader] " + message); }

std::string describe(const HubApi::Repo& repo) {
    return "Repo(id: \"" + repo.id + "\", type: " + rawValue(repo.type) + ")";
}

// The leading pieces of a pattern before its first wildcard piece, joined
// as a relative folder; empty when the pattern starts with a wildcard.
std::string wildcardFreePrefix(const std::string& pattern) {
    std::string prefix;
    std::size_t start = 0;
    while (start <= pattern.size()) {
        const std::size_t end = std::min(pattern.find('/', start), pattern.size());
        const std::string piece = pattern.substr(start, end - start);
        start = end + 1;
        if (piece.empty()) continue;
        if (piece.find('*') != std::string::npos) break;
        prefix += (prefix.empty() ? "" : "/") + piece;
    }
    return prefix;
}

// A folder holds something of its own once it has an entry that is more than
// a partial download.
bool holdsFinishedEntry(const fs::path& folder) {
    std::error_code error;
    for (fs::directory_iterator entries(folder, error); !error && entries != fs::directory_iterator();
         entries.increment(error)) {
        if (!entries->path().filename().string().ends_with(".incomplete")) return true;
    }
    return false;
}

}  // namespace

ModelDownloader::ModelDownloader(ModelDownloadConfig config) : config_(std::move(config)) {}

ModelDownloader::ModelDownloader(std::string endpoint, std::string repoName, std::optional<std::string> modelToken,
                                 std::string revision, bool useBackgroundSession)
    : ModelDownloader(ModelDownloadConfig(std::nullopt, std::move(repoName), std::move(modelToken), std::nullopt,
                                          useBackgroundSession, std::move(endpoint), std::move(revision))) {}

std::optional<platform::URL> ModelDownloader::effectiveDownloadBase(
    const std::optional<platform::URL>& downloadBase) const {
    if (downloadBase) return downloadBase;
    if (config_.downloadBase) return platform::URL::fileURLWithPath(*config_.downloadBase, true);
    return std::nullopt;
}

HubApi ModelDownloader::hubClient(const std::optional<platform::URL>& downloadBase,
                                  std::optional<bool> useOfflineMode) const {
    return HubApi(effectiveDownloadBase(downloadBase), config_.modelToken, config_.endpoint,
                  config_.useBackgroundSession, useOfflineMode);
}

HubApi::Repo ModelDownloader::repo() const { return {config_.modelRepo, HubApi::RepoType::models}; }

platform::URL ModelDownloader::downloadModel(const ModelInfo& modelInfo,
                                             const std::optional<platform::URL>& downloadBase,
                                             std::optional<bool> useOfflineMode) const {
    const std::string pattern = modelInfo.downloadPattern();
    const HubApi hub = hubClient(downloadBase, useOfflineMode);
    const bool offline = useOfflineMode.value_or(false);
    if (offline) {
        logDebug("Searching for models matching \"" + pattern + "\" in " + describe(repo()));
        if (hub.getFilenames(repo(), config_.revision, {pattern}).empty()) {
            throw ModelDownloaderError::modelUnavailable("No models found matching \"" + pattern + "\" in " +
                                                         config_.modelRepo);
        }
    }
    logDebug("Downloading model " + pattern + " with offline mode: " + (offline ? "true" : "false"));
    return hub.snapshot(repo(), config_.revision, {pattern}, [](const platform::Progress&) {});
}

platform::URL ModelDownloader::localRepoLocation(const std::optional<platform::URL>& downloadBase) const {
    return repoDestination(hubClient(downloadBase, std::nullopt).downloadBase, repo());
}

std::optional<platform::URL> ModelDownloader::completeModel(const platform::URL& repoFolder,
                                                            const ModelInfo& modelInfo,
                                                            const std::string& modelName) const {
    const platform::URL folder = modelInfo.modelURL(repoFolder);
    auto url = ModelDownloader::modelURLIfExists(folder, modelName);
    if (!url) return std::nullopt;
    const std::string relative = fs::path(folder.path()).lexically_relative(repoFolder.path()).generic_string();
    if (hasUnfinishedDownload(repoFolder, relative)) return std::nullopt;
    return url;
}

// A download stopped between two files leaves no partial file behind; only
// the hub's listing tells what never arrived. A hub out of reach cannot say,
// and then the local copy is all there is; one that lists nothing of the
// model vouches for no copy of it.
bool ModelDownloader::listedFilesArePresent(const platform::URL& repoFolder, const std::string& pattern,
                                            const std::optional<platform::URL>& downloadBase) const {
    if (!NetworkMonitor::isNetworkAvailable()) return true;
    std::vector<std::string> listed;
    try {
        listed = hubClient(downloadBase, std::nullopt).getFilenames(repo(), config_.revision, {pattern});
    } catch (const platform::CancellationError&) {
        throw;
    } catch (const std::exception&) {
        return true;
    }
    return !listed.empty() && std::all_of(listed.begin(), listed.end(), [&repoFolder](const std::string& name) {
        return platform::FileManager::fileExists(repoFolder.appendingPathComponent(name).path());
    });
}

// Looks at the disk before anything else, so that a complete copy is found
// with the hub out of reach; the copy is then checked against the records
// of its download, which needs no hub either.
std::optional<platform::URL> ModelDownloader::cachedModel(const std::string& modelName, const ModelInfo& modelInfo,
                                                          const std::optional<platform::URL>& downloadBase) const {
    try {
        const platform::URL repoFolder = ModelDownloader::localRepoLocation(downloadBase);
        auto url = completeModel(repoFolder, modelInfo, modelName);
        if (!url) return std::nullopt;
        const std::string pattern = modelInfo.downloadPattern();
        hubClient(downloadBase, true).snapshot(repo(), config_.revision, {pattern});
        if (!listedFilesArePresent(repoFolder, pattern, downloadBase)) return std::nullopt;
        return url;
    } catch (const platform::CancellationError&) {
        throw;
    } catch (const std::exception&) {
        // A copy that does not check out is fetched again by the next step.
        return std::nullopt;
    }
}

platform::URL ModelDownloader::resolveModel(const std::string& modelName, const ModelInfo& modelInfo,
                                            const std::optional<platform::URL>& modelFolder,
                                            const std::optional<platform::URL>& downloadBase, bool download,
                                            const ModelStateCallback& modelStateCallback) const {
    const auto report = [&modelStateCallback](ModelState state) {
        if (modelStateCallback) modelStateCallback(state);
    };

    std::optional<platform::URL> folder = modelFolder;
    if (!folder && config_.modelFolder) folder = platform::URL::fileURLWithPath(*config_.modelFolder, true);
    if (folder) {
        if (auto url = ModelDownloader::modelURLIfExists(modelInfo.modelURL(*folder), modelName)) {
            logDebug("Found " + modelName + " in model folder");
            return *url;
        }
    }

    const auto base = effectiveDownloadBase(downloadBase);
    if (auto url = cachedModel(modelName, modelInfo, base)) {
        logDebug("Found existing " + modelName + " in cache");
        report(ModelState::downloaded);
        return *url;
    }

    if (!download) {
        throw ModelDownloaderError::modelUnavailable("No model found for " + modelName + " (download disabled)");
    }
    report(ModelState::downloading);
    const platform::URL repoFolder = ModelDownloader::downloadModel(modelInfo, base, std::nullopt);
    auto url = completeModel(repoFolder, modelInfo, modelName);
    if (!url) throw ModelDownloaderError::modelUnavailable("No model found for " + modelName);
    logDebug("Downloaded " + modelName);
    report(ModelState::downloaded);
    return *url;
}

std::string ModelDownloader::resolveModelPath(const std::string& modelName, const ModelInfo& modelInfo,
                                              const std::optional<platform::URL>& modelFolder,
                                              const std::optional<platform::URL>& downloadBase, bool download,
                                              const ModelStateCallback& modelStateCallback) const {
    return resolveModel(modelName, modelInfo, modelFolder, downloadBase, download, modelStateCallback).path();
}

platform::URL ModelDownloader::resolveRepo(const std::vector<std::string>& patterns,
                                           const std::optional<platform::URL>& downloadBase, bool download,
                                           const ProgressCallback& progressCallback) const {
    const platform::URL location = ModelDownloader::localRepoLocation(downloadBase);
    if (patternsExistLocally(patterns, location)) {
        logDebug("All models found in local cache at " + location.path());
        return location;
    }
    if (!download) {
        throw ModelDownloaderError::modelUnavailable("No local models found for repo '" + config_.modelRepo +
                                                     "' and download is disabled.");
    }
    logInfo("Downloading " + std::to_string(patterns.size()) + " model(s) from " + config_.modelRepo + "...");
    const platform::URL folder =
        hubClient(downloadBase, std::nullopt)
            .snapshot(repo(), config_.revision, patterns, [&progressCallback](const platform::Progress& progress) {
                if (progressCallback) progressCallback(progress);
            });
    logInfo("Download complete: " + folder.path());
    return folder;
}

std::vector<std::string> ModelDownloader::fetchFilenames(const std::vector<std::string>& matching,
                                                         const std::optional<platform::URL>& downloadBase) const {
    return hubClient(downloadBase, std::nullopt).getFilenames(repo(), config_.revision, matching);
}

// Only the folder before the first wildcard is looked at, not the files the
// rest of the pattern would select; it counts once it holds something and
// no download into it is left unfinished.
bool ModelDownloader::patternsExistLocally(const std::vector<std::string>& patterns, const platform::URL& in) const {
    return std::all_of(patterns.begin(), patterns.end(), [&in](const std::string& pattern) {
        const std::string prefix = wildcardFreePrefix(pattern);
        if (prefix.empty()) return false;
        return holdsFinishedEntry(fs::path(in.path()) / prefix) && !hasUnfinishedDownload(in, prefix);
    });
}

std::optional<platform::URL> ModelDownloader::modelURLIfExists(const platform::URL& inFolder,
                                                               const std::string& named) const {
    platform::URL url = ModelUtilities::detectModelURL(inFolder, named);
    if (!platform::FileManager::fileExists(url.path())) return std::nullopt;
    return url;
}

}  // namespace celvan
