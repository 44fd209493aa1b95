#pragma once

#include <optional>
#include <string>
#include <vector>

#include "mlcore/hub/HubApi.h"
#include "platform/foundation/JsonValue.h"
#include "platform/foundation/URL.h"

namespace celvan {

// The hub client as the speech engine and the tokenizer loader see it.
class HubApiWrapper {
public:
    enum class RepoType { models, datasets, spaces };

    struct Repo {
        std::string id;
        RepoType type = RepoType::models;

        // {"id": ..., "type": <raw value>}; a type other than the three raw
        // values is a platform::DecodingError.
        static Repo decode(const platform::JSONValue& value);
        platform::JSONValue encode() const;

        friend bool operator==(const Repo&, const Repo&) = default;
    };

    explicit HubApiWrapper(std::optional<platform::URL> downloadBase = std::nullopt,
                           std::optional<std::string> hfToken = std::nullopt,
                           std::optional<std::string> endpoint = std::nullopt, bool useBackgroundSession = false);

    // The process-wide wrapper, every setting from the environment.
    static const HubApiWrapper& shared();

    std::vector<std::string> getFilenames(const Repo& repo, const std::string& revision,
                                          const std::vector<std::string>& globs) const;
    // A missing handler is one that does nothing.
    platform::URL snapshot(const Repo& repo, const std::string& revision, const std::vector<std::string>& globs,
                           const HubApi::SnapshotProgressHandler& progressHandler = {}) const;

    // The repository's cache folder, whether or not it exists.
    platform::URL localRepoLocation(const Repo& repo) const;

    HubApi impl;
};

HubApi::Repo toHubApiRepo(const HubApiWrapper::Repo& repo);
HubApiWrapper::Repo toWrapperRepo(const HubApi::Repo& repo);

std::string rawValue(HubApiWrapper::RepoType type);
// Both fields, as a message shows a repository: Repo(id: "owner/name", type: models).
std::string description(const HubApiWrapper::Repo& repo);
std::optional<HubApiWrapper::RepoType> wrapperRepoTypeFromRawValue(const std::string& rawValue);

}  // namespace celvan
