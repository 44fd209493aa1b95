#include "speech/model/WhisperMLModel.h"

namespace sonoscribe {

void WhisperMLModel::loadModel(const platform::URL& url, platform::MLComputeUnits computeUnits, bool prewarmMode) {
    platform::MLModelConfiguration configuration;
    configuration.computeUnits = computeUnits;
    auto loaded = platform::MLModel::load(url, configuration);
    model_ = prewarmMode ? nullptr : std::move(loaded);
}

void WhisperMLModel::unloadModel() {
    model_ = nullptr;
}

}  // namespace sonoscribe
