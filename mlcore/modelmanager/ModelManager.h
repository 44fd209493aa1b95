#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "mlcore/foundation/ModelState.h"
#include "mlcore/modelmanager/LoadModelsCoordinator.h"
#include "mlcore/modelmanager/ModelDownloader.h"
#include "mlcore/modelmanager/ModelLoader.h"
#include "platform/foundation/URL.h"

namespace celvan {

// Makes one set of models available (from the loader's own folder or by
// letting the loader download them), then prewarms, loads and unloads them
// through the loader, reporting each change of state. Safe to use from any
// thread. Every change of state goes through setModelState(), so a subclass
// that overrides it sees them all; the state callback runs on the thread that
// made the change, never under the lock of the state itself, so it may read
// the manager back or call into it, but not wait for another thread that
// calls into it. Only ensureModelsLoaded() is single flight.
class ModelManager {
public:
    using ModelStateCallback = std::function<void(ModelState oldState, ModelState newState)>;

    ModelManager(std::shared_ptr<ModelLoader> loader, std::shared_ptr<ModelDownloader> downloader);
    virtual ~ModelManager() = default;
    ModelManager(const ModelManager&) = delete;
    ModelManager& operator=(const ModelManager&) = delete;

    virtual ModelState modelState() const;
    // Calls the state callback when the value changes.
    virtual void setModelState(ModelState state);
    virtual ModelStateCallback modelStateCallback() const;
    virtual void setModelStateCallback(ModelStateCallback callback);
    virtual std::optional<platform::URL> modelPath() const;
    virtual void setModelPath(std::optional<platform::URL> path);
    virtual std::optional<platform::URL> modelFolder() const;
    const std::shared_ptr<ModelDownloader>& downloader() const noexcept { return downloader_; }
    const std::shared_ptr<ModelLoader>& loader() const noexcept { return loader_; }

    // Downloads and loads unless already loaded; callers that arrive during
    // a run share it.
    virtual void ensureModelsLoaded();
    virtual void downloadModels(const ModelDownloader::ProgressCallback& progressCallback = {});
    virtual void prewarmModels();
    virtual void loadModels();
    virtual void unloadModels();
    // Loading, loaded or downloaded.
    virtual bool isAvailable() const;
    virtual bool isLoaded() const;

private:
    const std::string& loggerName() const;
    std::string logPrefix() const;
    // Moves to `to` when the state is one of `from`; the state found comes back.
    ModelState changeStateIf(const std::vector<ModelState>& from, ModelState to);
    std::string resolvedModelPath() const;
    void downloadModelsOnce(const ModelDownloader::ProgressCallback& progressCallback);
    // Prewarms or loads, downloading first from unloaded.
    void loadInto(bool prewarmMode);

    const std::shared_ptr<ModelDownloader> downloader_;
    const std::shared_ptr<ModelLoader> loader_;

    // Held across a look at the state and the change it leads to, so that two
    // callers never both start the same step. Recursive, as the change is
    // reported while it is held and a callback may call back in.
    std::recursive_mutex transitionMutex_;
    mutable std::mutex mutex_;
    ModelState modelState_ = ModelState::unloaded;
    ModelStateCallback modelStateCallback_;
    std::optional<platform::URL> modelPath_;

    mutable std::once_flag loggerNameOnce_;
    mutable std::string loggerName_;
    LoadModelsCoordinator coordinator_;
};

}  // namespace celvan
