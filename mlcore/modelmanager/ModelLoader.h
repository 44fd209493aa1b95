#pragma once

#include <memory>
#include <optional>
#include <string>

#include "mlcore/modelmanager/ModelDownloader.h"

namespace celvan {

// What a ModelManager drives: where its models are, how they are fetched,
// loaded and released. Supplied by the caller, shared with the manager.
class ModelLoader {
public:
    virtual ~ModelLoader() = default;

    // A local folder that already holds the models, if there is one.
    virtual std::optional<std::string> modelFolderPath() const = 0;
    // Fetches the models, normally through the downloader, and returns the
    // path of the local folder that holds them.
    virtual std::string download(const std::shared_ptr<ModelDownloader>& downloader,
                                 const ModelDownloader::ProgressCallback& progressCallback) = 0;
    // Loads the models under the folder; prewarmMode asks for a prewarm only.
    virtual void load(const std::string& path, bool prewarmMode) = 0;
    virtual void unload() noexcept = 0;
};

}  // namespace celvan
