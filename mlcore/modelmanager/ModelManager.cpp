#include "mlcore/modelmanager/ModelManager.h"

#include <algorithm>
#include <typeinfo>
#include <utility>
#include <vector>

#include "mlcore/foundation/CelvanCoreError.h"
#include "mlcore/foundation/Logging.h"
#include "mlcore/hub/Hub.h"
#include "platform/foundation/TypeName.h"

namespace celvan {

namespace {

bool isOneOf(ModelState state, const std::vector<ModelState>& states) {
    return std::find(states.begin(), states.end(), state) != states.end();
}

}  // namespace

ModelManager::ModelManager(std::shared_ptr<ModelLoader> loader, std::shared_ptr<ModelDownloader> downloader)
    : downloader_(std::move(downloader)), loader_(std::move(loader)) {}

ModelState ModelManager::modelState() const {
    const std::lock_guard lock(mutex_);
    return modelState_;
}

void ModelManager::setModelState(ModelState state) {
    ModelState old;
    ModelStateCallback callback;
    {
        const std::lock_guard lock(mutex_);
        old = std::exchange(modelState_, state);
        if (old != state) callback = modelStateCallback_;
    }
    if (callback) callback(old, state);
}

ModelManager::ModelStateCallback ModelManager::modelStateCallback() const {
    const std::lock_guard lock(mutex_);
    return modelStateCallback_;
}

void ModelManager::setModelStateCallback(ModelStateCallback callback) {
    const std::lock_guard lock(mutex_);
    modelStateCallback_ = std::move(callback);
}

std::optional<platform::URL> ModelManager::modelPath() const {
    const std::lock_guard lock(mutex_);
    return modelPath_;
}

void ModelManager::setModelPath(std::optional<platform::URL> path) {
    const std::lock_guard lock(mutex_);
    modelPath_ = std::move(path);
}

std::optional<platform::URL> ModelManager::modelFolder() const {
    const auto folder = loader_->modelFolderPath();
    if (!folder) return std::nullopt;
    return platform::URL::fileURLWithPath(*folder);
}

bool ModelManager::isAvailable() const {
    return isOneOf(modelState(), {ModelState::loading, ModelState::loaded, ModelState::downloaded});
}

bool ModelManager::isLoaded() const { return modelState() == ModelState::loaded; }

const std::string& ModelManager::loggerName() const {
    std::call_once(loggerNameOnce_, [this] { loggerName_ = platform::unqualifiedTypeName(typeid(*this)); });
    return loggerName_;
}

std::string ModelManager::logPrefix() const { return "[" + loggerName() + "] "; }

ModelState ModelManager::changeStateIf(const std::vector<ModelState>& from, ModelState to) {
    const std::lock_guard transition(transitionMutex_);
    const ModelState found = modelState();
    if (isOneOf(found, from)) setModelState(to);
    return found;
}

std::string ModelManager::resolvedModelPath() const {
    if (const auto path = modelPath()) return path->path();
    if (auto folder = loader_->modelFolderPath()) return std::move(*folder);
    throw CelvanCoreError::invalidConfiguration(
        "No model path available. Call downloadModels() first, or provide modelFolder.");
}

void ModelManager::ensureModelsLoaded() {
    if (modelState() == ModelState::loaded) return;
    coordinator_.run([this] {
        if (modelState() == ModelState::loaded) return;
        downloadModelsOnce({});
        loadInto(false);
    });
}

void ModelManager::downloadModels(const ModelDownloader::ProgressCallback& progressCallback) {
    downloadModelsOnce(progressCallback);
}

// The check and the first change are one step, so two callers never both
// start a download.
void ModelManager::downloadModelsOnce(const ModelDownloader::ProgressCallback& progressCallback) {
    const auto folder = loader_->modelFolderPath();
    {
        const std::lock_guard transition(transitionMutex_);
        const ModelState found = modelState();
        if (found != ModelState::unloaded) {
            Logging::debug(logPrefix() + "Models already downloaded (state: " + description(found) +
                           "), skipping download");
            return;
        }
        if (folder) {
            Logging::debug(logPrefix() + "modelFolder is set, skipping download");
            setModelPath(platform::URL::fileURLWithPath(*folder));
            setModelState(ModelState::downloaded);
            return;
        }
        Logging::info(logPrefix() + "Starting download process...");
        setModelState(ModelState::downloading);
    }

    std::string path;
    try {
        path = loader_->download(downloader_, progressCallback);
    } catch (...) {
        setModelState(ModelState::unloaded);
        Logging::error(logPrefix() + "Failed to download models: " +
                       Hub::localizedDescription(std::current_exception()));
        throw;
    }
    // The path first: whoever sees the new state finds it set.
    setModelPath(platform::URL::fileURLWithPath(path));
    setModelState(ModelState::downloaded);
    Logging::info(logPrefix() + "Models downloaded to " + path);
}

void ModelManager::prewarmModels() { loadInto(true); }

void ModelManager::loadModels() { loadInto(false); }

void ModelManager::loadInto(bool prewarmMode) {
    if (modelState() == ModelState::unloaded) downloadModelsOnce({});
    const std::string path = resolvedModelPath();

    const ModelState busy = prewarmMode ? ModelState::prewarming : ModelState::loading;
    const ModelState done = prewarmMode ? ModelState::prewarmed : ModelState::loaded;
    const std::vector<ModelState> from = prewarmMode
                                             ? std::vector{ModelState::downloaded}
                                             : std::vector{ModelState::downloaded, ModelState::prewarmed};
    const ModelState found = changeStateIf(from, busy);
    if (found == done) {
        Logging::debug(logPrefix() + (prewarmMode ? "Models already prewarmed, skipping"
                                                  : "Models already loaded, skipping"));
        return;
    }
    if (!isOneOf(found, from)) {
        throw CelvanCoreError::invalidConfiguration(std::string(prewarmMode ? "Cannot prewarm" : "Cannot load") +
                                                    " in state: " + description(found));
    }

    try {
        loader_->load(path, prewarmMode);
    } catch (...) {
        setModelState(ModelState::unloaded);
        Logging::error(logPrefix() + (prewarmMode ? "Failed to prewarm models: " : "Failed to load models: ") +
                       Hub::localizedDescription(std::current_exception()));
        throw;
    }
    setModelState(done);
    Logging::info(logPrefix() + (prewarmMode ? "Models prewarmed successfully" : "Models loaded successfully"));
}

void ModelManager::unloadModels() {
    const ModelState found = changeStateIf({ModelState::loaded, ModelState::prewarmed}, ModelState::unloading);
    if (!isOneOf(found, {ModelState::loaded, ModelState::prewarmed})) return;
    loader_->unload();
    setModelState(ModelState::unloaded);
}

}  // namespace celvan
