#include "mlcore/hub/HubWrapper.h"

#include "mlcore/hub/CacheLayout.h"

namespace celvan {

namespace {

HubApi::RepoType toHubApiType(HubApiWrapper::RepoType type) {
    switch (type) {
        case HubApiWrapper::RepoType::models: return HubApi::RepoType::models;
        case HubApiWrapper::RepoType::datasets: return HubApi::RepoType::datasets;
        case HubApiWrapper::RepoType::spaces: return HubApi::RepoType::spaces;
    }
    return HubApi::RepoType::models;
}

HubApiWrapper::RepoType toWrapperType(HubApi::RepoType type) {
    switch (type) {
        case HubApi::RepoType::models: return HubApiWrapper::RepoType::models;
        case HubApi::RepoType::datasets: return HubApiWrapper::RepoType::datasets;
        case HubApi::RepoType::spaces: return HubApiWrapper::RepoType::spaces;
    }
    return HubApiWrapper::RepoType::models;
}

}  // namespace

HubApiWrapper::HubApiWrapper(std::optional<platform::URL> downloadBase, std::optional<std::string> hfToken,
                             std::optional<std::string> endpoint, bool useBackgroundSession)
    : impl(std::move(downloadBase), std::move(hfToken), std::move(endpoint), useBackgroundSession, std::nullopt) {}

const HubApiWrapper& HubApiWrapper::shared() {
    static const HubApiWrapper instance;
    return instance;
}

std::vector<std::string> HubApiWrapper::getFilenames(const Repo& repo, const std::string& revision,
                                                     const std::vector<std::string>& globs) const {
    return impl.getFilenames(toHubApiRepo(repo), revision, globs);
}

platform::URL HubApiWrapper::snapshot(const Repo& repo, const std::string& revision,
                                      const std::vector<std::string>& globs,
                                      const HubApi::SnapshotProgressHandler& progressHandler) const {
    return impl.snapshot(toHubApiRepo(repo), revision, globs, progressHandler);
}

platform::URL HubApiWrapper::localRepoLocation(const Repo& repo) const {
    return repoDestination(impl.downloadBase, toHubApiRepo(repo));
}

HubApi::Repo toHubApiRepo(const HubApiWrapper::Repo& repo) { return {repo.id, toHubApiType(repo.type)}; }

HubApiWrapper::Repo toWrapperRepo(const HubApi::Repo& repo) { return {repo.id, toWrapperType(repo.type)}; }

std::string rawValue(HubApiWrapper::RepoType type) { return rawValue(toHubApiType(type)); }

std::string description(const HubApiWrapper::Repo& repo) {
    return "Repo(id: \"" + repo.id + "\", type: " + rawValue(repo.type) + ")";
}

std::optional<HubApiWrapper::RepoType> wrapperRepoTypeFromRawValue(const std::string& text) {
    auto type = repoTypeFromRawValue(text);
    if (!type) return std::nullopt;
    return toWrapperType(*type);
}

}  // namespace celvan
