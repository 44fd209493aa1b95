#pragma once

#include <optional>
#include <string>
#include <utility>

namespace celvan {

// Where a set of models comes from and where it is kept. Every field is
// required when building one, so that no caller relies on a default it never
// chose.
struct ModelDownloadConfig {
    ModelDownloadConfig(std::optional<std::string> downloadBase, std::string modelRepo,
                        std::optional<std::string> modelToken, std::optional<std::string> modelFolder,
                        bool useBackgroundSession, std::string endpoint, std::string revision)
        : downloadBase(std::move(downloadBase)),
          modelRepo(std::move(modelRepo)),
          modelToken(std::move(modelToken)),
          modelFolder(std::move(modelFolder)),
          useBackgroundSession(useBackgroundSession),
          endpoint(std::move(endpoint)),
          revision(std::move(revision)) {}

    // A filesystem path; absent means the hub client's own cache folder.
    std::optional<std::string> downloadBase;
    // A model repository id on the hub.
    std::string modelRepo;
    std::optional<std::string> modelToken;
    // A filesystem path that already holds the models, tried before the cache.
    std::optional<std::string> modelFolder;
    bool useBackgroundSession;
    std::string endpoint;
    std::string revision;
};

}  // namespace celvan
