#pragma once

#include "platform/coreml/MLComputeUnits.h"
#include "platform/foundation/URL.h"

namespace celvan {

// Something that loads a model from a location onto the chosen processors.
class MLModelLoading {
public:
    virtual ~MLModelLoading() = default;

    virtual void loadModel(const platform::URL& modelURL, platform::MLComputeUnits computeUnits,
                           bool prewarmMode) = 0;

    // Loads without prewarming. Implementations that override the three-argument
    // form bring this one into scope with `using MLModelLoading::loadModel;`.
    void loadModel(const platform::URL& modelURL, platform::MLComputeUnits computeUnits) {
        loadModel(modelURL, computeUnits, false);
    }
};

}  // namespace celvan
