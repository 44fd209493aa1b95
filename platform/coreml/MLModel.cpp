#include "platform/coreml/MLModel.h"

#include <stdexcept>
#include <utility>

#include "platform/coreml/MLModelError.h"

namespace platform {

MLModel::MLModel(MLModelDescription modelDescription, PredictionFunction predict,
                 MLModelConfiguration configuration)
    : modelDescription_(std::move(modelDescription)),
      predict_(std::move(predict)),
      configuration_(configuration) {
    if (!predict_) {
        throw std::invalid_argument("A model needs a prediction function");
    }
}

std::shared_ptr<MLFeatureProvider> MLModel::prediction(const MLFeatureProvider& input,
                                                       const MLPredictionOptions& options) const {
    for (const auto& [name, feature] : modelDescription_.inputDescriptionsByName) {
        const std::optional<MLFeatureValue> value = input.featureValue(name);
        if (!value) {
            if (feature.isOptional) {
                continue;
            }
            throw MLModelError(MLModelError::Kind::featureType,
                               "Feature " + name + " is required but not specified.");
        }
        if (value->type() != feature.type) {
            throw MLModelError(MLModelError::Kind::featureType,
                               "Feature " + name + " has the wrong feature type.");
        }
    }
    std::shared_ptr<MLFeatureProvider> output = predict_(input, options);
    if (!output) {
        throw MLModelError(MLModelError::Kind::generic, "The model produced no output.");
    }
    return output;
}

}  // namespace platform
