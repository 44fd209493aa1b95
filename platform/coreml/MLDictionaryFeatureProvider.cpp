#include "platform/coreml/MLDictionaryFeatureProvider.h"

namespace platform {

std::set<std::string> MLDictionaryFeatureProvider::featureNames() const {
    std::set<std::string> names;
    for (const auto& [name, value] : dictionary_) {
        names.insert(names.end(), name);
    }
    return names;
}

std::optional<MLFeatureValue> MLDictionaryFeatureProvider::featureValue(
    const std::string& featureName) const {
    const auto found = dictionary_.find(featureName);
    if (found == dictionary_.end()) {
        return std::nullopt;
    }
    return found->second;
}

}  // namespace platform
