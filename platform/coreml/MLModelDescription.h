#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/coreml/MLFeatureType.h"
#include "platform/coreml/MLMultiArrayDataType.h"

namespace platform {

// What a multi-array feature must look like.
struct MLMultiArrayConstraint {
    std::vector<int64_t> shape;
    MLMultiArrayDataType dataType = MLMultiArrayDataType::float32;
};

struct MLFeatureDescription {
    std::string name;
    MLFeatureType type = MLFeatureType::invalid;
    bool isOptional = false;
    // Present for multi-array features.
    std::optional<MLMultiArrayConstraint> multiArrayConstraint;
};

// A model's interface: its inputs and outputs by feature name.
struct MLModelDescription {
    std::map<std::string, MLFeatureDescription> inputDescriptionsByName;
    std::map<std::string, MLFeatureDescription> outputDescriptionsByName;
};

}  // namespace platform
