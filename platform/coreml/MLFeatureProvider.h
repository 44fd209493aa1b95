#pragma once

#include <optional>
#include <set>
#include <string>

#include "platform/coreml/MLFeatureValue.h"

namespace platform {

// A set of named feature values: a model's input or its prediction result.
class MLFeatureProvider {
public:
    virtual ~MLFeatureProvider() = default;

    virtual std::set<std::string> featureNames() const = 0;
    // Empty for a name the provider does not have.
    virtual std::optional<MLFeatureValue> featureValue(const std::string& featureName) const = 0;
};

}  // namespace platform
