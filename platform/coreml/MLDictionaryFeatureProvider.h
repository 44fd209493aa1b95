#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>

#include "platform/coreml/MLFeatureProvider.h"

namespace platform {

// A feature provider over a fixed table of values.
class MLDictionaryFeatureProvider : public MLFeatureProvider {
public:
    explicit MLDictionaryFeatureProvider(std::map<std::string, MLFeatureValue> dictionary)
        : dictionary_(std::move(dictionary)) {}

    const std::map<std::string, MLFeatureValue>& dictionary() const noexcept { return dictionary_; }

    std::set<std::string> featureNames() const override;
    std::optional<MLFeatureValue> featureValue(const std::string& featureName) const override;

private:
    std::map<std::string, MLFeatureValue> dictionary_;
};

}  // namespace platform
