#pragma once

#include <functional>
#include <memory>

#include "platform/coreml/MLFeatureProvider.h"
#include "platform/coreml/MLModelConfiguration.h"
#include "platform/coreml/MLModelDescription.h"
#include "platform/coreml/MLPredictionOptions.h"
#include "platform/foundation/URL.h"

namespace platform {

// A loaded model: its interface and a way to run it. Immutable once made, so
// predictions may run on several threads at once, provided the prediction
// function itself allows that (the bundle runtime's does).
class MLModel {
public:
    using PredictionFunction = std::function<std::shared_ptr<MLFeatureProvider>(
        const MLFeatureProvider& input, const MLPredictionOptions& options)>;

    MLModel(MLModelDescription modelDescription, PredictionFunction predict,
            MLModelConfiguration configuration = {});

    MLModel(const MLModel&) = delete;
    MLModel& operator=(const MLModel&) = delete;

    // Loads a compiled model bundle (a "*.mlmodelc" folder). Throws
    // MLModelError when the bundle cannot be read or is not a valid model.
    static std::shared_ptr<MLModel> load(const URL& bundleURL,
                                         const MLModelConfiguration& configuration);

    const MLModelDescription& modelDescription() const noexcept { return modelDescription_; }
    const MLModelConfiguration& configuration() const noexcept { return configuration_; }

    // Runs the model once. Throws MLModelError when a required input is
    // missing or of the wrong feature type, and passes on the errors of the
    // prediction itself.
    std::shared_ptr<MLFeatureProvider> prediction(const MLFeatureProvider& input,
                                                  const MLPredictionOptions& options = {}) const;

private:
    MLModelDescription modelDescription_;
    PredictionFunction predict_;
    MLModelConfiguration configuration_;
};

}  // namespace platform
