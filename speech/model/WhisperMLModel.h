#pragma once

#include <memory>

#include "mlcore/foundation/ModelState.h"
#include "platform/coreml/MLComputeUnits.h"
#include "platform/coreml/MLModel.h"
#include "platform/foundation/URL.h"

namespace sonoscribe {

// What the three model stages share: one optional loaded model, loading and
// unloading it, and the state that follows from whether it is there.
class WhisperMLModel {
public:
    virtual ~WhisperMLModel() = default;

    const std::shared_ptr<platform::MLModel>& model() const { return model_; }
    void setModel(std::shared_ptr<platform::MLModel> model) { model_ = std::move(model); }

    // Loads the compiled model at url. With prewarmMode the load only lets
    // the runtime compile and specialise the model for this machine, and the
    // model is not kept. A load error is passed on and model() is unchanged.
    virtual void loadModel(const platform::URL& url, platform::MLComputeUnits computeUnits, bool prewarmMode);
    virtual void unloadModel();

    celvan::ModelState modelState() const {
        return model_ ? celvan::ModelState::loaded : celvan::ModelState::unloaded;
    }

private:
    std::shared_ptr<platform::MLModel> model_;
};

}  // namespace sonoscribe
